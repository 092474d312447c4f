// The remote object over the wire: real TOrvala objects over a fresh
// database, served by the endpoint, driven by RemoteObject clients.
#include <gtest/gtest.h>

#include <thread>

#include "common/error.h"
#include "registry/database_location.h"
#include "server/server_fixture.h"
#include "transport/client_connection.h"
#include "transport/server_endpoint.h"

namespace orvala::transport {
namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 60s;

class RemoteObjectTest : public server::testing::ServerTest {
 protected:
  RemoteObjectTest() {
    registry::WriteDatabaseLocation(registry_, database_);
    EndpointOptions options;
    options.unix_path = dir_ / "orvala.sock";
    endpoint_ = std::make_unique<ServerEndpoint>(
        options, [this] { return std::make_unique<server::TOrvala>(process_); });
  }
  ~RemoteObjectTest() override { endpoint_->Stop(); }

  std::unique_ptr<RemoteObject> Client() {
    ConnectOptions o;
    o.endpoint = "unix:" + endpoint_->unix_path().string();
    return RemoteObject::Connect(o);
  }

  // Calls by name with every argument given (out ones as Empty).
  static server::CallOutcome Call(RemoteObject& object, const char* name, std::vector<Variant> args = {}) {
    return object.Invoke(*server::MethodByName(name), args);
  }
  static server::CallOutcome CanDo(RemoteObject& object) {
    return Call(object, "CanDo", {Variant::I4(1), Variant::BStr(u"ANAGRAFICHE")});
  }

  std::unique_ptr<ServerEndpoint> endpoint_;
};

TEST_F(RemoteObjectTest, OneClientsSignInAndOutGateTheOthers) {
  auto a = Client();
  auto b = Client();
  const auto refused = CanDo(*b);
  EXPECT_EQ(refused.status, S_OK);
  EXPECT_FALSE(refused.result.has_value());

  EXPECT_EQ(Call(*a, "OpenDB").status, S_OK);
  const auto answered = CanDo(*b);
  EXPECT_EQ(answered.status, S_OK);
  EXPECT_TRUE(answered.result.has_value());

  EXPECT_EQ(Call(*b, "Logoff", {Variant::BStr(u"SYSDBA")}).status, S_OK);
  const auto closed = CanDo(*a);
  EXPECT_EQ(closed.status, S_OK);
  EXPECT_FALSE(closed.result.has_value());
}

TEST_F(RemoteObjectTest, ARefusedCallComesBackWithItsOutVariantsEmpty) {
  auto client = Client();
  std::vector<Variant> args = {Variant::BStr(u"00001"), Variant::I4(2024), Variant::I4(1),
                               Variant::I4(77), Variant::I4(1), Variant::I4(1)};
  const auto outcome = client->Invoke(*server::MethodByName("CheckNumRegistrazione"), args);
  EXPECT_EQ(outcome.status, S_OK);
  EXPECT_FALSE(outcome.result.has_value());
  EXPECT_EQ(args[3], Variant());  // the out VARIANT, sent as 77, came back Empty
}

TEST_F(RemoteObjectTest, ErrorInformationCrossesTheWire) {
  registry_.CreateKey(registry::Root::kLocalMachine, registry::kDatabaseLocationKey)
      ->SetValue(registry::kDatabaseLocationValue, registry::Value::Dword(7));
  auto client = Client();
  const auto outcome = Call(*client, "OpenDB");
  EXPECT_EQ(outcome.status, E_UNEXPECTED);
  EXPECT_FALSE(outcome.result.has_value());
  ASSERT_TRUE(outcome.error.has_value());
  EXPECT_EQ(outcome.error->description, "Invalid data type for 'DBPATHVALUE'");
  EXPECT_EQ(outcome.error->source, "OrvalaAppServer.Orvala");
  EXPECT_EQ(outcome.error->iid, server::Library().iid);
  EXPECT_EQ(outcome.error->help_file, "");
}

TEST_F(RemoteObjectTest, DispatchStatusesForBadCalls) {
  auto client = Client();
  const auto late = [&](int32_t dispid, std::vector<Variant> args) {
    return client->InvokeByDispid(dispid, args).status;
  };
  EXPECT_EQ(late(29, {}), DISP_E_MEMBERNOTFOUND);  // a gap in the identifiers
  EXPECT_EQ(late(0, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(late(4, {Variant::I4(1)}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(late(4, {Variant::BStr(u"one"), Variant::BStr(u"F")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(late(28, {Variant()}), S_OK);  // GetSession, which is not gated

  // By entry position: the IUnknown and IDispatch entries take no calls.
  server::MethodDef query_interface = server::Methods()[0];
  std::vector<Variant> none;
  EXPECT_EQ(client->Invoke(query_interface, none).status, DISP_E_MEMBERNOTFOUND);
  server::MethodDef beyond = server::Methods()[44];
  beyond.slot = 45;
  EXPECT_EQ(client->Invoke(beyond, none).status, DISP_E_MEMBERNOTFOUND);

  const auto ids = client->IdsOfNames({"GetSession", "SessionNumber"});
  EXPECT_EQ(ids.ids, (std::vector<int32_t>{28, 0}));
  EXPECT_TRUE(client->connected());
}

TEST_F(RemoteObjectTest, AClientGoneMidCallIsReleasedAndTheOthersServed) {
  auto bystander = Client();
  EXPECT_EQ(Call(*bystander, "OpenDB").status, S_OK);
  {
    FrameSocket s(Connect(ParseEndpoint("unix:" + endpoint_->unix_path().string()), 5s));
    const auto say = [&](const wire::ClientFrame& frame) {
      ASSERT_TRUE(s.WriteAll(wire::EncodeFrame(frame)));
    };
    const auto hear = [&] {
      std::vector<uint8_t> body;
      EXPECT_EQ(s.ReadFrame(body, wire::kDefaultMaxFrameSize), FrameSocket::ReadResult::kFrame);
      return wire::DecodeServerFrame(body);
    };
    hear();  // the greeting
    say(wire::Hello{});
    hear();
    say(wire::CreateObject{server::Library().clsid.ToString()});
    hear();
    say(wire::CallRequest{wire::CallTarget::kSlot, server::MethodByName("GetSession")->slot, {Variant()}});
    hear();
    EXPECT_EQ(process_.sessions().count(), 1);
    // A statement that keeps the database busy for a while; the client
    // leaves without waiting for its answer.
    say(wire::CallRequest{
        wire::CallTarget::kSlot, server::MethodByName("ExecSQL")->slot,
        {Variant::BStr(u"EXECUTE BLOCK AS DECLARE i INTEGER = 0; BEGIN WHILE (i < 2000000) DO i = i + 1; END")}});
  }
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (process_.sessions().count() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(process_.sessions().count(), 0);  // its destroy handler ran
  const auto answered = CanDo(*bystander);
  EXPECT_EQ(answered.status, S_OK);
  EXPECT_TRUE(answered.result.has_value());
  EXPECT_EQ(Call(*Client(), "GetSession", {Variant()}).status, S_OK);
}

}  // namespace
}  // namespace orvala::transport
