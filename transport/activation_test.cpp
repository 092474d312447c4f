// Activation with real processes: the test server of this folder stands in
// for the host program under LocalServer32.
#include "transport/activation.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "common/error.h"
#include "server/type_library.h"
#include "tests/testing.h"
#include "transport/server_endpoint.h"

namespace orvala::transport {
namespace {

using namespace std::chrono_literals;

class ActivationTest : public ::testing::Test {
 protected:
  ActivationTest() : registry_(dir_ / "registry"), options_(registry_) {
    // The started server finds its socket through the same variable.
    if (const char* old = std::getenv("ORVALA_RUNTIME_DIR")) old_runtime_dir_ = old;
    setenv("ORVALA_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
    options_.socket_path = DefaultSocketPath();
    Register(ORVALA_TRANSPORT_TEST_SERVER);
  }
  ~ActivationTest() override {
    // Objects gone, the embedded servers end on their own; wait for that so
    // that no process outlives the folder it serves in.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::filesystem::exists(options_.socket_path) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    if (old_runtime_dir_) {
      setenv("ORVALA_RUNTIME_DIR", old_runtime_dir_->c_str(), 1);
    } else {
      unsetenv("ORVALA_RUNTIME_DIR");
    }
  }

  void Register(const std::string& executable) {
    const std::string clsid = server::Library().clsid.ToString();
    registry_.CreateKey(registry::Root::kClassesRoot, "OrvalaAppServer.Orvala\\Clsid")
        ->SetValue("", registry::Value::Text(clsid));
    registry_.CreateKey(registry::Root::kClassesRoot, "CLSID\\" + clsid + "\\LocalServer32")
        ->SetValue("", registry::Value::Text(executable));
  }

  // Every call of the test server answers with its process id.
  static int32_t ServerPid(RemoteObject& object) {
    std::vector<Variant> args(1);
    const auto outcome = object.Invoke(*server::MethodByName("GetSession"), args);
    EXPECT_EQ(outcome.status, S_OK);
    return outcome.result ? outcome.result->i4() : -1;
  }

  orvala::testing::TempDir dir_;
  registry::Registry registry_;
  ActivationOptions options_;
  std::optional<std::string> old_runtime_dir_;
};

TEST_F(ActivationTest, ClassesAreFoundByProgIdOrClsid) {
  EXPECT_EQ(ResolveClass(registry_, "OrvalaAppServer.Orvala"), server::Library().clsid);
  EXPECT_EQ(ResolveClass(registry_, "{be3b9670-c4e5-49a5-bdb2-53bb7793651f}"), server::Library().clsid);
  EXPECT_EQ(LocalServerPath(registry_, server::Library().clsid), ORVALA_TRANSPORT_TEST_SERVER);
  try {
    ResolveClass(registry_, "Nobody.Nothing");
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), kStatusClassNotRegistered);
  }
  EXPECT_THROW(LocalServerPath(registry_, server::Library().iid), Error);
}

TEST_F(ActivationTest, StartsTheServerOnDemandAndItEndsAfterItsLastObject) {
  auto first = CreateRemoteObject("OrvalaAppServer.Orvala", options_);
  const int32_t pid = ServerPid(*first);
  EXPECT_NE(pid, getpid());
  // A second client finds the running server instead of starting one.
  auto second = CreateRemoteObject(server::Library().clsid.ToString(), options_);
  EXPECT_EQ(ServerPid(*second), pid);
  first.reset();
  EXPECT_EQ(ServerPid(*second), pid);  // one object left: the server stays
  second.reset();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::filesystem::exists(options_.socket_path) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(std::filesystem::exists(options_.socket_path));
}

TEST_F(ActivationTest, ClientsRacingToStartEndUpWithOneServer) {
  constexpr int kClients = 4;
  std::vector<std::unique_ptr<RemoteObject>> objects(kClients);
  std::vector<std::string> errors(kClients);
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      try {
        objects[i] = CreateRemoteObject("OrvalaAppServer.Orvala", options_);
      } catch (const Error& e) {
        errors[i] = e.what();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<int32_t> pids;
  for (int i = 0; i < kClients; ++i) {
    ASSERT_TRUE(objects[i]) << errors[i];
    pids.insert(ServerPid(*objects[i]));
  }
  EXPECT_EQ(pids.size(), 1u);
}

TEST_F(ActivationTest, AServerThatCannotStartIsReported) {
  Register((dir_ / "no-such-server").string());
  try {
    CreateRemoteObject("OrvalaAppServer.Orvala", options_);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), CO_E_SERVER_EXEC_FAILURE);
    EXPECT_NE(std::string(e.what()).find("no-such-server"), std::string::npos) << e.what();
  }
  Register("/bin/true");  // starts, but never accepts
  options_.start_timeout = 500ms;
  try {
    CreateRemoteObject("OrvalaAppServer.Orvala", options_);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), CO_E_SERVER_EXEC_FAILURE);
  }
}

}  // namespace
}  // namespace orvala::transport
