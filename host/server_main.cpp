// orvala-server: the Orvala App Server program.
//
// It registers its class at every start, then serves remote objects on the
// local socket (and on TCP when asked) until it is stopped, or, when a
// client started it on demand (-Embedding), until its last object is gone.
#include <grp.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/error.h"
#include "driver/connection.h"
#include "driver/firebird_root.h"
#include "host/registration.h"
#include "host/server_options.h"
#include "registry/database_location.h"
#include "server/orvala.h"
#include "transport/server_endpoint.h"

namespace {

using namespace orvala;

std::filesystem::path Executable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("orvala-server") : path;
}

// The stored location and whether the database answers there: what the
// administration window shows, for a server without a display.
int ShowLocation(const registry::Registry& registry) {
  const std::string location = registry::ReadDatabaseLocation(registry);
  std::printf("Database location: %s\n", location.empty() ? "(none stored)" : location.c_str());
  if (location.empty()) return 1;
  try {
    driver::Connection connection;
    connection.SetParam("Database", location);
    connection.SetParam("User_Name", "SYSDBA");
    connection.SetParam("Password", "pinewheel");
    connection.Open();
    std::printf("The database can be reached.\n");
    return 0;
  } catch (const Error& e) {
    std::printf("Impossibile connettersi al database.\n%s\n", e.message());
    return 1;
  }
}

std::chrono::seconds EmbeddingGrace() {
  const char* configured = std::getenv("ORVALA_EMBEDDING_GRACE_SECONDS");
  return std::chrono::seconds(configured ? std::atoi(configured) : 60);
}

int Serve(const host::ServerOptions& options, const registry::Registry& registry) {
  // Signals are taken by this thread alone, between its checks of the
  // object count; every thread started later inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // The catalogue and report modules are created with the process state,
  // before any remote object can exist.
  server::ServerProcess process(registry);
  transport::EndpointOptions endpoint_options;
  endpoint_options.tcp_listen = options.listen;
  if (options.secret_file) endpoint_options.tcp_secret = transport::ReadSecretFile(*options.secret_file);
  if (options.socket_group) {
    const group* g = getgrnam(options.socket_group->c_str());
    if (!g) throw Error("Unknown group: " + *options.socket_group);
    endpoint_options.unix_group = g->gr_gid;
  }
  const bool by_com = options.mode == host::StartMode::ByCom;
  std::atomic<bool> last_object_gone{false};
  std::atomic<bool> ever_served{false};
  transport::ServerEndpoint endpoint(
      endpoint_options, [&process] { return std::make_unique<server::TOrvala>(process); },
      [&](size_t count) {
        if (count > 0) ever_served = true;
        if (count == 0 && by_com) last_object_gone = true;
      });
  std::fprintf(stderr, "orvala-server: serving on %s", endpoint.unix_path().c_str());
  if (endpoint.tcp_port()) std::fprintf(stderr, " and TCP port %u", *endpoint.tcp_port());
  std::fprintf(stderr, "\n");

  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    const timespec tick{0, 200'000'000};
    const int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal > 0) {
      if (const size_t alive = endpoint.object_count(); alive > 0) {
        std::fprintf(stderr, "orvala-server: ending with %zu remote object(s) still alive\n", alive);
      }
      break;
    }
    if (by_com && last_object_gone) break;
    if (by_com && !ever_served && std::chrono::steady_clock::now() - started > EmbeddingGrace()) {
      break;  // started on demand, but no client ever came
    }
  }
  endpoint.Stop();  // releases every object: open transactions roll back, connections close
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvala;
  driver::EnsureFirebirdRoot();
  host::ServerOptions options;
  try {
    options = host::ParseServerOptions(argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "orvala-server: %s\n%s", e.message(), host::ServerUsage());
    return 2;
  }
  if (options.help) {
    std::printf("%s", host::ServerUsage());
    return 0;
  }
  const registry::Registry registry(registry::Registry::DefaultDirectory());
  try {
    if (options.show_location) return ShowLocation(registry);
    if (options.set_location) {
      registry::WriteDatabaseLocation(registry, *options.set_location);
      std::printf("Database location stored: %s\n", options.set_location->c_str());
      return 0;
    }
    try {
      if (options.mode == host::StartMode::UnregisterAndEnd) {
        host::UnregisterServer(registry);
      } else {
        host::RegisterServer(registry, Executable());
      }
    } catch (const Error& e) {
      // An entry that cannot be written matters only when registering was
      // all that was asked; the type library's failure ends every start.
      const bool entry = std::string(e.message()) == "Error creating system registry entry";
      if (!entry || options.mode == host::StartMode::RegisterAndEnd) throw;
    }
    if (options.mode == host::StartMode::RegisterAndEnd ||
        options.mode == host::StartMode::UnregisterAndEnd) {
      return 0;
    }
    return Serve(options, registry);
  } catch (const Error& e) {
    std::fprintf(stderr, "orvala-server: %s\n", e.message());
    return 1;
  }
}
