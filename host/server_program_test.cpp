// The server program as a real process: registration switches, the
// lifetime of a server started on demand, and ending on a signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "registry/database_location.h"
#include "transport/activation.h"
#include "transport/client_connection.h"
#include "tests/database_fixture.h"

namespace orvala::host {
namespace {

constexpr const char* kClassKey = "CLSID\\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}";

class ServerProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ORVALA_REGISTRY_DIR", (dir_ / "registry").c_str(), 1);
    setenv("ORVALA_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
  }

  // Starts the server with `args`; returns its process id.
  pid_t Start(std::vector<std::string> args) {
    const pid_t pid = fork();
    if (pid == 0) {
      std::vector<char*> argv = {const_cast<char*>(ORVALA_SERVER_PROGRAM)};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(ORVALA_SERVER_PROGRAM, argv.data());
      _exit(127);
    }
    return pid;
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

}  // namespace
}  // namespace orvala::host
