// The server program as a real process: registration switches, the
// lifetime of a server started on demand, and ending on a signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "common/error.h"
#include "registry/database_location.h"
#include "transport/activation.h"
#include "transport/client_connection.h"
#include "tests/database_fixture.h"
#include "transport/test_certificates.h"

namespace orvala::host {
namespace {

constexpr const char* kClassKey = "CLSID\\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}";

class ServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ORVALA_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    setenv("ORVALA_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  }

  // Starts the server with `args` (or `program` with them, its standard
  // error into `err` when given); returns its process id.
  pid_t Start(std::vector<std::string> args, const std::filesystem::path& err = {},
              const char* program = ORVALA_SERVER_PROGRAM) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (!err.empty() && !std::freopen(err.c_str(), "w", stderr)) _exit(126);
      std::vector<char*> argv = {const_cast<char*>(program)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program, argv.data());
      _exit(127);
    }
    return pid;
  }

  // The text of a file, once it holds `wanted` (or after a while).
  static std::string WaitForText(const std::filesystem::path& file, const std::string& wanted) {
    std::string text;
    for (int i = 0; i < 400 && text.find(wanted) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::ostringstream read;
      read << std::ifstream(file).rdbuf();
      text = read.str();
    }
    return text;
  }

  // The exit status, or -1 when the process did not end in time.
  int WaitFor(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
  }

  static std::unique_ptr<transport::RemoteObject> ConnectTo(const std::filesystem::path& socket) {
    transport::ConnectOptions options;
    options.endpoint = "unix:" + socket.string();
    return transport::RemoteObject::Connect(options);
  }

  bool Alive(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
  }

  registry::Registry Registry() const { return registry::Registry(dir_ / "registry"); }

  struct Ran {
    int exit_status;
    std::string out, err;
  };
  // Runs the server to its end with `args` in the folder `cwd`.
  Ran Run(std::vector<std::string> args, const std::filesystem::path& cwd) {
    const auto out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(cwd.c_str()) != 0 || !std::freopen(out.c_str(), "w", stdout) ||
          !std::freopen(err.c_str(), "w", stderr)) {
        _exit(126);
      }
      std::vector<char*> argv = {const_cast<char*>(ORVALA_SERVER_PROGRAM)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(ORVALA_SERVER_PROGRAM, argv.data());
      _exit(127);
    }
    const int status = WaitFor(pid);
    auto slurp = [](const std::filesystem::path& p) {
      std::ostringstream text;
      text << std::ifstream(p).rdbuf();
      return text.str();
    };
    return {status, slurp(out), slurp(err)};
  }

  orvala::testing::TempDir dir_;
};

TEST_F(ServerProgramTest, RegisterAndUnregisterEndWithoutServing) {
  EXPECT_EQ(WaitFor(Start({"/regserver"})), 0);
  auto server = Registry().OpenKey(registry::Root::kClassesRoot, std::string(kClassKey) + "\\LocalServer32");
  ASSERT_TRUE(server);
  EXPECT_EQ(server->GetValue("")->data(), ORVALA_SERVER_PROGRAM);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run" / "orvala.sock"));
  EXPECT_EQ(WaitFor(Start({"-UNREGSERVER"})), 0);
  EXPECT_FALSE(Registry().OpenKey(registry::Root::kClassesRoot, kClassKey));
}

// What --set-location stores, read back from the registry; the server and
// its clients run in other folders than the operator's shell.
TEST_F(ServerProgramTest, HelpListsEveryOptionAndAWrongCommandLineEndsWithTheUsage) {
  using ::testing::HasSubstr;
  using ::testing::StartsWith;
  const Ran help = Run({"--help"}, dir_.path());
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_THAT(help.out, StartsWith("usage: orvala-server "));
  for (const char* option :
       {"--headless", "--listen ADDR:PORT", "--secret-file FILE", "--tls-cert FILE",
        "--tls-key FILE", "--tls-client-ca FILE", "--allow-plaintext", "--socket-group GROUP",
        "--max-connections N", "--max-pending N", "--max-frame-size SIZE", "--max-reply-size SIZE",
        "--hello-timeout SECONDS", "--frame-timeout SECONDS", "--log-level info|debug",
        "--show-location", "--set-location PATH", "/regserver", "/unregserver", "-Embedding"}) {
    EXPECT_THAT(help.out, HasSubstr(option));
  }
  EXPECT_EQ(Run({"-h"}, dir_.path()).out, help.out);

  struct Case {
    std::vector<std::string> args;
    std::string complaint;
  };
  for (const Case& c : std::vector<Case>{
           {{"--bogus"}, "Unknown argument: --bogus"},
           {{"--headless", "stray"}, "Unknown argument: stray"},
           {{"-Embedding", "--"}, "Unknown argument: --"},
           {{"--listen"}, "Missing value after --listen"},
           {{"--listen", "127.0.0.1:0"},
            "--listen needs --secret-file or --tls-client-ca: a TCP listener requires a shared "
            "secret or client certificates"},
           {{"--tls-cert", "c.pem"}, "--tls-cert and --tls-key go together"},
           {{"--tls-client-ca", "ca.pem"}, "--tls-client-ca needs --tls-cert and --tls-key"},
           {{"--log-level", "loud"}, "--log-level takes info or debug: loud"},
           {{"--max-connections", "0"},
            "--max-connections takes a positive number, with K, M or G for a size: 0"},
           {{"--max-reply-size", "1T"},
            "--max-reply-size takes a positive number, with K, M or G for a size: 1T"},
           {{"--frame-timeout", "soon"},
            "--frame-timeout takes a positive number of seconds: soon"},
       }) {
    const Ran ran = Run(c.args, dir_.path());
    EXPECT_EQ(ran.exit_status, 2) << c.complaint;
    EXPECT_EQ(ran.out, "");
    EXPECT_EQ(ran.err, "orvala-server: " + c.complaint + "\n" + help.out);
  }
  // Nothing was served or registered on the way.
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run" / "orvala.sock"));
  EXPECT_FALSE(Registry().OpenKey(registry::Root::kClassesRoot, kClassKey));
}

TEST_F(ServerProgramTest, SetLocationStoresAnAbsoluteLocationOrNothing) {
  using ::testing::HasSubstr;
  const auto work = dir_ / "work";
  std::filesystem::create_directories(work / "db");
  std::ofstream(work / "db" / "orvala.fdb") << "x";
  const std::string existing = (work / "db" / "orvala.fdb").string();
  const std::string kept = "/srv/kept.fdb";
  const struct {
    const char* given;
    int exit_status;
    std::string stored;
    const char* complaint;  // in the standard error, or nullptr for none
  } cases[] = {
      {"", 1, kept, "nothing stored: the location given is empty"},
      {"   ", 1, kept, "nothing stored"},
      {"db/orvala.fdb", 0, existing, nullptr},
      {" ./db/../db/orvala.fdb ", 0, existing, nullptr},
      {existing.c_str(), 0, existing, nullptr},
      {"missing.fdb", 0, (work / "missing.fdb").string(), "warning: there is no database file at"},
      {"localhost:/srv/orvala.fdb", 0, "localhost:/srv/orvala.fdb", nullptr},
      {"inet://db.example:3050/orvala", 0, "inet://db.example:3050/orvala", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("--set-location '") + c.given + "'");
    registry::WriteDatabaseLocation(Registry(), kept);
    const Ran ran = Run({"--set-location", c.given}, work);
    EXPECT_EQ(ran.exit_status, c.exit_status);
    EXPECT_EQ(registry::ReadDatabaseLocation(Registry()), c.stored);
    if (c.exit_status == 0) {
      EXPECT_EQ(ran.out, "Database location stored: " + c.stored + "\n");
    } else {
      EXPECT_THAT(ran.err, HasSubstr("The stored location is unchanged: " + kept));
    }
    if (c.complaint) {
      EXPECT_THAT(ran.err, HasSubstr(c.complaint));
    } else {
      EXPECT_EQ(ran.err, "");
    }
  }

  // A relative name stored in one folder reaches the database from another.
  const auto database = orvala::testing::FreshDatabase(dir_, false);
  ASSERT_EQ(Run({"--set-location", database.filename().string()}, database.parent_path()).exit_status, 0);
  const Ran shown = Run({"--show-location"}, "/");
  EXPECT_EQ(shown.exit_status, 0) << shown.out;
  EXPECT_THAT(shown.out, HasSubstr("The database can be reached."));
}

TEST_F(ServerProgramTest, RegisterAndUnregisterSayWhatTheyDid) {
  using ::testing::HasSubstr;
  using ::testing::StartsWith;
  const std::string hive = Registry().File(registry::Root::kClassesRoot).path().string();
  auto lines_starting = [](const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.starts_with(prefix);
    return count;
  };

  const Ran registered = Run({"/regserver"}, dir_.path());
  EXPECT_EQ(registered.exit_status, 0) << registered.err;
  EXPECT_THAT(registered.out,
              StartsWith("Registered OrvalaAppServer.Orvala in " + hive + " (HKEY_CLASSES_ROOT), 17 entries:\n"));
  // The type library's four keys and the thirteen entries of the class.
  EXPECT_EQ(lines_starting(registered.out, "  wrote "), 17);
  EXPECT_THAT(registered.out, HasSubstr("  wrote " + std::string(kClassKey) +
                                        "\\LocalServer32: (default) = \"" + ORVALA_SERVER_PROGRAM +
                                        "\"\n"));
  EXPECT_THAT(registered.out, HasSubstr("  wrote " + std::string(kClassKey) + ": \"Web\" = \"1\"\n"));

  const Ran unregistered = Run({"-unregserver"}, dir_.path());
  EXPECT_EQ(unregistered.exit_status, 0) << unregistered.err;
  EXPECT_THAT(unregistered.out, StartsWith("Unregistered OrvalaAppServer.Orvala from " + hive +
                                           " (HKEY_CLASSES_ROOT), 18 entries:\n"));
  EXPECT_EQ(lines_starting(unregistered.out, "  removed "), 18);
  EXPECT_THAT(unregistered.out, HasSubstr("  removed " + std::string(kClassKey) + ": \"Sockets\"\n"));
  EXPECT_THAT(unregistered.out, HasSubstr("  removed " + std::string(kClassKey) + "\n"));
  EXPECT_FALSE(Registry().OpenKey(registry::Root::kClassesRoot, kClassKey));

  const Ran again = Run({"-unregserver"}, dir_.path());
  EXPECT_EQ(again.exit_status, 0);
  EXPECT_EQ(again.out, "Nothing to remove: OrvalaAppServer.Orvala is not registered in " + hive + "\n");
}

TEST_F(ServerProgramTest, StartedOnDemandItEndsAfterItsLastObject) {
  registry::WriteDatabaseLocation(Registry(), orvala::testing::FreshDatabase(dir_).string());
  ASSERT_EQ(WaitFor(Start({"/regserver"})), 0);
  transport::ActivationOptions options(Registry());
  auto first = transport::CreateRemoteObject("OrvalaAppServer.Orvala", options);
  auto second = transport::CreateRemoteObject("OrvalaAppServer.Orvala", options);
  std::vector<Variant> args = {Variant()};
  const server::CallOutcome outcome = first->Invoke(*server::MethodByName("GetSession"), args);
  EXPECT_EQ(outcome.status, S_OK);

  // The server is not our child: find it by the lock it holds on its socket.
  const auto socket = dir_ / "run" / "orvala.sock";
  ASSERT_TRUE(std::filesystem::exists(socket));
  first.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(std::filesystem::exists(socket));
  auto third = ConnectTo(socket);  // still serving
  third.reset();
  second.reset();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::filesystem::exists(socket) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(ServerProgramTest, StartedByHandItEndsCleanlyOnSigterm) {
  registry::WriteDatabaseLocation(Registry(), orvala::testing::FreshDatabase(dir_).string());
  const pid_t pid = Start({"--headless"});
  const auto socket = dir_ / "run" / "orvala.sock";
  for (int i = 0; i < 200 && !std::filesystem::exists(socket); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto object = ConnectTo(socket);
  std::vector<Variant> none;
  EXPECT_EQ(object->Invoke(*server::MethodByName("OpenDB"), none).status, S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Alive(pid));
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitFor(pid), 0);
}

// Started by the service manager with a socket of its own, the server
// serves that socket and binds none of its own.
TEST_F(ServerProgramTest, StartedWithASocketPassedItServesThatSocket) {
  registry::WriteDatabaseLocation(Registry(), orvala::testing::FreshDatabase(dir_).string());
  const auto passed = dir_ / "passed.sock";
  const auto err = dir_ / "server.err";
  std::vector<std::string> args = {"-l", passed.string(), "-E", "ORVALA_REGISTRY_DIR", "-E",
                                    "ORVALA_RUNTIME_DIR", "-E", "UBSAN_OPTIONS"};
  // The service manager passes on only the variables it is told to. Under
  // the sanitizers, the leak check's tracer has crashed at this server's
  // exit when ctest runs it (never when run by hand), which would end it
  // with 1; AddressSanitizer still checks every access.
  if (const char* asan = std::getenv("ASAN_OPTIONS")) {
    args.insert(args.end(), {"-E", std::string("ASAN_OPTIONS=") + asan + ":detect_leaks=0"});
  }
  args.insert(args.end(), {ORVALA_SERVER_PROGRAM, "--headless"});
  const pid_t pid = Start(args, err, "/usr/bin/systemd-socket-activate");
  for (int i = 0; i < 200 && !std::filesystem::exists(passed); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto object = ConnectTo(passed);  // the server starts on this first connection
  std::vector<Variant> none;
  EXPECT_EQ(object->Invoke(*server::MethodByName("OpenDB"), none).status, S_OK);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "run" / "orvala.sock"));
  object.reset();
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitFor(pid), 0);
  const std::string log = WaitForText(err, "ended");
  EXPECT_THAT(log, ::testing::HasSubstr("passed by the service manager")) << log;
  EXPECT_TRUE(std::filesystem::exists(passed));  // the manager's, left in place
}

// TLS with the server's own options and its log: a client that trusts the
// authority is served; one that trusts another is refused, and the log
// says so with the peer's address. Nothing per call unless asked.
TEST_F(ServerProgramTest, ATlsListenerAndWhatTheLogSays) {
  registry::WriteDatabaseLocation(Registry(), orvala::testing::FreshDatabase(dir_).string());
  orvala::testing::TestAuthority authority(dir_.path(), "Test CA");
  orvala::testing::TestAuthority other(dir_.path(), "Other CA");
  const auto cert = authority.Issue("server", "IP:127.0.0.1");
  const auto secret = dir_ / "secret";
  std::ofstream(secret) << "s3cret\n";
  std::filesystem::permissions(secret, std::filesystem::perms::owner_read);
  for (const char* level : {"info", "debug"}) {
    SCOPED_TRACE(level);
    const auto err = dir_ / (std::string(level) + ".err");
    const pid_t pid = Start({"--headless", "--listen", "127.0.0.1:0", "--secret-file",
                             secret.string(), "--tls-cert", cert.cert.string(), "--tls-key",
                             cert.key.string(), "--log-level", level},
                            err);
    const std::string started = WaitForText(err, "with TLS");
    const size_t at = started.find("TCP port ");
    ASSERT_NE(at, std::string::npos) << started;
    const std::string port = std::to_string(std::atoi(started.c_str() + at + 9));
    transport::ConnectOptions options;
    options.endpoint = "127.0.0.1:" + port;
    options.secret = "s3cret";
    options.tls = transport::TlsClientFiles{other.cert(), std::nullopt, std::nullopt};
    EXPECT_THROW(transport::RemoteObject::Connect(options), orvala::Error);
    options.tls->ca = authority.cert();
    {
      auto object = transport::RemoteObject::Connect(options);
      std::vector<Variant> none;
      EXPECT_EQ(object->Invoke(*server::MethodByName("OpenDB"), none).status, S_OK);
    }
    // orvala-cli, with the authority and without.
    const auto cli = [&](const std::string& tls_args) {
      const auto out = dir_ / "cli.out", errors = dir_ / "cli.err";
      const std::string command = "echo GetSession | '" + std::string(ORVALA_CLI) +
                                  "' --endpoint 127.0.0.1:" + port + " --secret-file '" +
                                  secret.string() + "' " + tls_args + " > '" + out.string() +
                                  "' 2> '" + errors.string() + "'";
      const int status = std::system(command.c_str());
      std::ostringstream printed, said;
      printed << std::ifstream(out).rdbuf();
      said << std::ifstream(errors).rdbuf();
      return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, printed.str() + said.str());
    };
    const auto served = cli("--tls-ca '" + authority.cert().string() + "'");
    EXPECT_EQ(served.first, 0) << served.second;
    EXPECT_THAT(served.second, ::testing::HasSubstr(R"("status":"0x00000000")"));
    const auto refused = cli("--tls-ca '" + other.cert().string() + "'");
    EXPECT_EQ(refused.first, 1) << refused.second;
    EXPECT_THAT(refused.second, ::testing::HasSubstr("unable to get local issuer certificate"));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitFor(pid), 0);
    const std::string log = WaitForText(err, "ended");
    for (const char* line : {"and TCP port", "refused: TLS failure", "signed in",
                             "object created for 127.0.0.1:", "(1 alive)", "object released",
                             "(0 alive)", "ended"}) {
      EXPECT_THAT(log, ::testing::HasSubstr(line)) << log;
    }
    EXPECT_EQ(log.find("call OpenDB") != std::string::npos, std::string(level) == "debug") << log;
  }
}

}  // namespace
}  // namespace orvala::host
