// The database behind the server goes away and comes back. The database
// is served by a real Firebird server on loopback, on a port of the test's
// own with a configuration and security database of its own, so that it
// can be stopped and started again under the running orvala-server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "client/orvala_proxy.h"
#include "common/error.h"
#include "driver/administrator.h"
#include "tests/database_fixture.h"
#include "tests/fault_server.h"

namespace orvala::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kFirebirdProgram[] = "/usr/sbin/firebird";
constexpr char kFirebirdFiles[] = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
constexpr char kSystemSecurityDatabase[] = "/var/lib/firebird/3.0/system/security3.fdb";

uint16_t FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// A Firebird server of the test's own. Its root links the system's files
// beside a configuration that names the port and a copy of the security
// database in which SYSDBA has the project's password.
class FirebirdServer {
 public:
  explicit FirebirdServer(const std::filesystem::path& root) : root_(root), port_(FreeLoopbackPort()) {
    std::filesystem::create_directories(root_ / "lock");
    for (const auto& entry : std::filesystem::directory_iterator(kFirebirdFiles)) {
      const auto name = entry.path().filename();
      if (name == "intl") {
        // The engine finds the character sets only inside its own root.
        std::filesystem::copy(entry.path(), root_ / name,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::copy_symlinks);
        std::filesystem::remove(root_ / name / "fbintl.conf");
        std::filesystem::copy_file(entry.path() / "fbintl.conf", root_ / name / "fbintl.conf");
      } else if (name != "firebird.conf") {
        std::filesystem::create_symlink(entry.path(), root_ / name);
      }
    }
    std::filesystem::copy_file(kSystemSecurityDatabase, root_ / "security3.fdb");
    std::ofstream(root_ / "firebird.conf") << "ServerMode = Super\n"
                                           << "RemoteServicePort = " << port_ << "\n"
                                           << "RemoteBindAddress = 127.0.0.1\n"
                                           << "SecurityDatabase = " << (root_ / "security3.fdb").string() << "\n";
    // Embedded access to the security database needs no password.
    ChildProcess isql({"/usr/bin/isql-fb", "-q", "-user", driver::kAdministratorUser,
                       (root_ / "security3.fdb").string()},
                      Environment(), root_ / "isql.log");
    isql.Write(std::string("create or alter user ") + driver::kAdministratorUser + " password '" +
               driver::kAdministratorPassword + "' using plugin Srp; commit; quit;\n");
    isql.CloseInput();
    if (isql.Wait() != 0) throw Error("cannot set the SYSDBA password of the test's Firebird server");
  }

  std::vector<std::string> Environment() const {
    return {"FIREBIRD=" + root_.string(), "FIREBIRD_LOCK=" + (root_ / "lock").string()};
  }
  uint16_t port() const { return port_; }
  std::string Location(const std::filesystem::path& file) const {
    return "localhost/" + std::to_string(port_) + ":" + file.string();
  }

  void Start() {
    process_ = std::make_unique<ChildProcess>(std::vector<std::string>{kFirebirdProgram},
                                              Environment(), root_ / "server.log");
    for (int i = 0; i < 300 && !Accepts(port_); ++i) std::this_thread::sleep_for(100ms);
    if (!Accepts(port_)) {
      std::ifstream log(root_ / "server.log");
      throw Error("the test's Firebird server did not start: " +
                  std::string(std::istreambuf_iterator<char>(log), {}));
    }
  }
  // Ends it the hard way, as a crash or a pulled cable would.
  void Stop() {
    process_->Kill(SIGKILL);
    process_->Wait();
    process_.reset();
  }

 private:
  std::filesystem::path root_;
  uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
};

class DatabaseGoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kFirebirdProgram) || !std::filesystem::exists(kSystemSecurityDatabase)) {
      GTEST_SKIP() << "firebird3.0-server is not installed (scripts/install-deps installs it)";
    }
  }
  TempDir dir_;
};

// While Firebird is away, calls fail by their frame rule: provider
// operations with a failure status and the database's message, methods
// that absorb errors with result 1. The same remote object works again
// once Firebird is back.
TEST_F(DatabaseGoneTest, CallsFailByTheirRuleAndWorkAgainAfter) {
  FirebirdServer firebird(dir_ / "firebird");
  firebird.Start();
  const auto database = FreshDatabase(dir_);
  ServerProgram server(dir_.path(), firebird.Location(database));
  auto object = server.Connect();
  client::OrvalaProxy proxy(*object);

  auto fetch = [&proxy](int32_t& recs) {
    Variant params, owner, data;
    return proxy.AS_GetRecords(u"SelectEsercizi", -1, recs, 0, u"", params, owner, data);
  };
  auto log_in = [&proxy] {
    EXPECT_EQ(proxy.OpenDB(), S_OK);
    Variant id_utenti;
    int32_t result = -1;
    EXPECT_EQ(proxy.Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, result), S_OK);
    return result;
  };
  ASSERT_EQ(log_in(), 0);
  int32_t recs = 0;
  ASSERT_EQ(fetch(recs), S_OK) << (proxy.last_error() ? proxy.last_error()->description : "");
  ASSERT_GT(recs, 0);

  firebird.Stop();
  EXPECT_EQ(fetch(recs), E_UNEXPECTED);
  ASSERT_TRUE(proxy.last_error());
  EXPECT_FALSE(proxy.last_error()->description.empty());
  int32_t result = -1;
  EXPECT_EQ(proxy.ExecSQL(u"update ditte set ragionesociale = ragionesociale where 1 = 0", result), S_OK);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(server.alive());

  firebird.Start();
  int32_t again = 0;
  EXPECT_EQ(fetch(again), S_OK) << (proxy.last_error() ? proxy.last_error()->description : "");
  EXPECT_EQ(again, recs);
  EXPECT_EQ(proxy.ExecSQL(u"update ditte set ragionesociale = ragionesociale where 1 = 0", result), S_OK);
  EXPECT_EQ(result, 0);
  // A client that arrives now is served too.
  auto late = server.Connect();
  client::OrvalaProxy late_proxy(*late);
  Variant params, owner, data;
  EXPECT_EQ(late_proxy.AS_GetRecords(u"SelectEsercizi", -1, again, 0, u"", params, owner, data), S_OK);
}

}  // namespace
}  // namespace orvala::testing
