// orvala-cluster: the cluster of tests/cluster.h for an operator to try,
// on the demo database, until Ctrl-C or for a bounded time.
//
//   orvala-cluster [--servers N] [--port PORT] [--for SECONDS] [--dir DIR]
//                  [--tls-cert FILE --tls-key FILE --tls-ca FILE]
#include <CLI/CLI.hpp>

#include <signal.h>

#include <cstdio>
#include <optional>

#include "common/error.h"
#include "database/reference_database.h"
#include "tests/cluster.h"
#include "tests/testing.h"

namespace orvala::testing {
namespace {

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

int Main(int argc, char** argv) {
  ClusterOptions options;
  int seconds = 0;
  std::string dir_text, tls_cert, tls_key, tls_ca;
  CLI::App app("Starts a Firebird server, app servers and HAProxy on loopback");
  app.add_option("--servers", options.servers, "App servers behind HAProxy")->check(CLI::Range(1, 16));
  app.add_option("--port", options.port, "HAProxy's port; Firebird, the app servers and the stats page take the next ones");
  app.add_option("--for", seconds, "Stop after SECONDS (0: at Ctrl-C)");
  app.add_option("--dir", dir_text, "Folder of the database, logs and configuration (kept)");
  app.add_option("--tls-cert", tls_cert, "Certificate of the app servers");
  app.add_option("--tls-key", tls_key, "Private key of the app servers");
  app.add_option("--tls-ca", tls_ca, "Certificate that clients check the app servers' against");
  CLI11_PARSE(app, argc, argv);
  if (!tls_cert.empty() || !tls_key.empty() || !tls_ca.empty()) {
    if (tls_cert.empty() || tls_key.empty() || tls_ca.empty()) {
      std::fprintf(stderr, "orvala-cluster: --tls-cert, --tls-key and --tls-ca go together\n");
      return 1;
    }
    options.tls = ClusterTls{std::filesystem::absolute(tls_cert), std::filesystem::absolute(tls_key),
                             std::filesystem::absolute(tls_ca)};
  }

  // Ctrl-C and SIGTERM are waited for, not delivered, so that the
  // destructors stop every process that was started.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

  std::optional<TempDir> temp;
  std::filesystem::path dir;
  if (dir_text.empty()) {
    temp.emplace();
    dir = temp->path();
  } else {
    dir = std::filesystem::absolute(dir_text);
    // The Firebird root holds only links, a configuration and a copy of the
    // security database: it is made anew at every start.
    std::filesystem::remove_all(dir / "firebird");
  }
  std::filesystem::create_directories(dir);
  const auto database = dir / "orvala-demo.fdb";
  if (!std::filesystem::exists(database)) {
    std::printf("Creating the demo database at %s\n", database.c_str());
    std::fflush(stdout);
    database::CreateOptions create;
    create.scripts_dir = database::DefaultScriptsDir();
    database::CreateReferenceDatabase(database, create);
  }

  Cluster cluster(dir, database, options);
  std::printf("Firebird server  %s (SuperServer, root %s)\n", cluster.location().c_str(),
              (dir / "firebird").c_str());
  std::printf("App servers      %s, shared secret in %s\n", options.tls ? "TLS" : "plain TCP",
              cluster.secret_file().c_str());
  for (int i = 0; i < cluster.servers(); ++i) {
    std::printf("App server %d     127.0.0.1:%u (log %s)\n", i + 1, cluster.server_port(i),
                (dir / ("app" + std::to_string(i + 1)) / "server.log").c_str());
  }
  std::printf("HAProxy          127.0.0.1:%u, stats at http://127.0.0.1:%u/\n", cluster.port(),
              cluster.stats_port());
  std::string cli = Quoted(CliProgramPath()) + " --endpoint 127.0.0.1:" + std::to_string(cluster.port()) +
                    " --secret-file " + Quoted(cluster.secret_file().string());
  if (options.tls) cli += " --tls-ca " + Quoted(options.tls->ca.string());
  std::printf("\nA client connects through HAProxy:\n\n"
              "  printf '%%s\\n' OpenDB 'Login DEMO demo 2024 00001' 'AS_GetRecords SelectEsercizi -1' | %s\n\n",
              cli.c_str());
  if (seconds > 0) {
    std::printf("Everything stops in %d s, or at Ctrl-C.\n", seconds);
  } else {
    std::printf("Stop everything with Ctrl-C.\n");
  }
  std::fflush(stdout);

  timespec limit{seconds, 0};
  const int got = sigtimedwait(&stop_signals, nullptr, seconds > 0 ? &limit : nullptr);
  std::printf("%s; stopping HAProxy, the app servers and Firebird.\n",
              got < 0 ? "Time is up" : "Stopped");
  return 0;
}

}  // namespace
}  // namespace orvala::testing

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    return orvala::testing::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvala-cluster: %s\n", e.what());
    return 1;
  }
}
