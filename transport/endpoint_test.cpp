// The endpoint's handling of connections, frames and objects, with a small
// object of the test's own: the transport is what is tested here.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "packets/cbor.h"
#include "server/type_library.h"
#include "tests/testing.h"
#include "transport/client_connection.h"
#include "transport/server_endpoint.h"

namespace orvala::transport {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// A generous bound for waits on the server's threads; reaching it is a
// failure, not a measurement.
constexpr auto kPatience = 20s;

// What the test objects report, shared with the test.
struct Board {
  std::mutex mutex;
  std::condition_variable changed;
  int created = 0;
  int destroyed = 0;
  std::vector<std::thread::id> threads;  // of every construction, call and destruction
  bool call_started = false;
  bool release_call = false;

  void Note(const std::function<void()>& change) {
    std::lock_guard lock(mutex);
    change();
    changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kPatience, done);
  }
};

// Answers GetSession with an out argument and result 0, leaves CanDo's
// result unwritten, and holds ExecSQL until the test lets it go.
class TestObject : public server::ObjectChannel {
 public:
  explicit TestObject(Board& board) : board_(board) {
    board_.Note([&] {
      ++board_.created;
      board_.threads.push_back(std::this_thread::get_id());
    });
  }
  ~TestObject() override {
    board_.Note([&] {
      ++board_.destroyed;
      board_.threads.push_back(std::this_thread::get_id());
    });
  }
  server::CallOutcome Invoke(const server::MethodDef& method, std::vector<Variant>& args) override {
    board_.Note([&] { board_.threads.push_back(std::this_thread::get_id()); });
    if (const HResult status = server::PrepareArguments(method, args); Failed(status)) {
      return {status, std::nullopt, std::nullopt};
    }
    const std::string_view name = method.name;
    if (name == "GetSession") {
      args[0] = Variant::I4(1234);
      return {S_OK, Variant::I4(0), std::nullopt};
    }
    if (name == "ExecSQL") {
      board_.Note([&] { board_.call_started = true; });
      board_.WaitFor([&] { return board_.release_call; });
      return {S_OK, Variant::I4(0), std::nullopt};
    }
    if (name == "DestroyProvider") throw Error("Provider not found", 77);
    if (name == "AS_DataRequest") {
      // A result of as many bytes as asked, each its offset's low byte.
      ByteArray bytes(static_cast<size_t>(args[1].ToInt32()));
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
      return {S_OK, Variant::Bytes(std::move(bytes)), std::nullopt};
    }
    return {S_OK, std::nullopt, std::nullopt};
  }

 private:
  Board& board_;
};

class EndpointTest : public ::testing::Test {
 protected:
  EndpointTest() { options_.unix_path = dir_ / "orvala.sock"; }

  ServerEndpoint& Start() {
    endpoint_ = std::make_unique<ServerEndpoint>(
        options_, [this] { return std::make_unique<TestObject>(board_); },
        [this](size_t n) { board_.Note([&] { counts_.push_back(n); }); });
    return *endpoint_;
  }

  std::unique_ptr<RemoteObject> Client(std::optional<std::string> secret = std::nullopt,
                                       std::string endpoint = {}) {
    ConnectOptions o;
    o.endpoint = endpoint.empty() ? "unix:" + options_.unix_path.string() : endpoint;
    o.secret = std::move(secret);
    return RemoteObject::Connect(o);
  }

  // A connected socket that has read the server's greeting.
  FrameSocket Raw() {
    FrameSocket s(Connect(ParseEndpoint("unix:" + options_.unix_path.string()), 5s));
    EXPECT_TRUE(std::holds_alternative<wire::Welcome>(Read(s)));
    return s;
  }
  static wire::ServerFrame Read(FrameSocket& s) {
    Bytes body;
    const auto result = s.ReadFrame(body, wire::kDefaultMaxFrameSize,
                                    std::chrono::steady_clock::now() + kPatience);
    if (result != FrameSocket::ReadResult::kFrame) throw Error("no frame");
    return wire::DecodeServerFrame(body);
  }
  static void Send(FrameSocket& s, const wire::ClientFrame& frame) {
    ASSERT_TRUE(s.WriteAll(wire::EncodeFrame(frame)));
  }
  // Reads until the server closes; the frames it said meanwhile come back.
  static std::vector<wire::ServerFrame> UntilClosed(FrameSocket& s) {
    std::vector<wire::ServerFrame> said;
    for (;;) {
      Bytes body;
      const auto result = s.ReadFrame(body, wire::kDefaultMaxFrameSize,
                                      std::chrono::steady_clock::now() + kPatience);
      if (result == FrameSocket::ReadResult::kTimeout) ADD_FAILURE() << "server kept the connection";
      if (result != FrameSocket::ReadResult::kFrame) return said;
      said.push_back(wire::DecodeServerFrame(body));
    }
  }
  static HResult StatusOf(const wire::ServerFrame& frame) {
    const auto* status = std::get_if<wire::StatusReply>(&frame);
    return status ? status->status : S_OK;
  }
  void ExpectServing() {
    auto client = Client();
    std::vector<Variant> args(1);
    const auto outcome = client->Invoke(*server::MethodByName("GetSession"), args);
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_EQ(args[0], Variant::I4(1234));
  }

  orvala::testing::TempDir dir_;
  EndpointOptions options_;
  Board board_;
  std::vector<size_t> counts_;
  std::unique_ptr<ServerEndpoint> endpoint_;
};

TEST_F(EndpointTest, EachObjectLivesOnAThreadOfItsOwnAndIsReleasedThere) {
  Start();
  auto first = Client();
  auto second = Client();
  std::vector<Variant> args(1);
  EXPECT_EQ(first->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  EXPECT_EQ(args[0], Variant::I4(1234));
  EXPECT_EQ(second->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  first.reset();  // returns once the server has released the object
  {
    std::lock_guard lock(board_.mutex);
    EXPECT_EQ(board_.destroyed, 1);
    // created, called and destroyed on one thread; the second object's
    // creation and call on another.
    ASSERT_EQ(board_.threads.size(), 5u);
    const auto a = board_.threads[0];
    EXPECT_NE(a, std::this_thread::get_id());
    EXPECT_NE(board_.threads[1], a);
    int on_a = 0;
    for (const auto& t : board_.threads) on_a += t == a;
    EXPECT_EQ(on_a, 3);
    EXPECT_EQ(board_.threads.back(), a);
  }
  second.reset();
  EXPECT_EQ(counts_, (std::vector<size_t>{1, 2, 1, 0}));
}

TEST_F(EndpointTest, ResultsOutArgumentsAndErrorsTravel) {
  Start();
  auto client = Client();
  std::vector<Variant> args = {Variant::I4(1), Variant::BStr(u"F")};
  const auto refused = client->Invoke(*server::MethodByName("CanDo"), args);
  EXPECT_EQ(refused.status, S_OK);
  EXPECT_FALSE(refused.result.has_value());  // not written stays not written

  args = {Variant::BStr(u"P")};
  const auto failed = client->Invoke(*server::MethodByName("DestroyProvider"), args);
  EXPECT_EQ(failed.status, E_UNEXPECTED);
  ASSERT_TRUE(failed.error.has_value());
  EXPECT_EQ(failed.error->description, "Provider not found");
  EXPECT_EQ(failed.error->help_context, 77);
  EXPECT_EQ(failed.error->source, "OrvalaAppServer.Orvala");
  EXPECT_EQ(failed.error->iid, server::Library().iid);
  EXPECT_TRUE(client->connected());  // a failed call is not a broken connection
}

TEST_F(EndpointTest, NamesAndTheTypeLibraryAreAnsweredFromTheTable) {
  Start();
  auto client = Client();
  const auto ids = client->IdsOfNames({"candeletefornitori", "ID_FORNITORI"});
  EXPECT_EQ(ids.status, S_OK);
  EXPECT_EQ(ids.ids, (std::vector<int32_t>{31, 0}));
  const auto unknown = client->IdsOfNames({"CanDo", "ID_Funzioni", "Nobody"});
  EXPECT_EQ(unknown.status, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(unknown.ids, (std::vector<int32_t>{4, 1, -1}));
  EXPECT_EQ(client->IdsOfNames({"NoSuchMethod"}).ids, (std::vector<int32_t>{-1}));
  EXPECT_EQ(client->TypeInfo(), server::DescribeTypeLibrary());
}

// The structured type library as a client in another language reads it:
// the raw reply decoded by a general CBOR decoder, its keys as
// docs/protocol.md names them. Every provider operation and every method
// is there, with its slot, DISPID, arguments and result.
TEST_F(EndpointTest, TheTypeLibraryComesAsDataWithEveryEntry) {
  Start();
  FrameSocket s = Raw();
  Send(s, wire::Hello{});
  EXPECT_EQ(StatusOf(Read(s)), S_OK);
  // Before any object, as GetTypeInfo may come: the frame [7].
  ASSERT_TRUE(s.WriteAll(Bytes{0, 0, 0, 2, 0x81, 0x07}));
  Bytes body;
  ASSERT_EQ(s.ReadFrame(body, wire::kDefaultMaxFrameSize, std::chrono::steady_clock::now() + kPatience),
            FrameSocket::ReadResult::kFrame);
  const nlohmann::json reply = nlohmann::json::from_cbor(body);
  ASSERT_TRUE(reply.is_array());
  ASSERT_EQ(reply.size(), 3u);
  EXPECT_EQ(reply[0], 21);
  EXPECT_EQ(reply[1], 0);
  const nlohmann::json& lib = reply[2];
  EXPECT_EQ(lib["name"], "OrvalaAppServer");
  EXPECT_EQ(lib["libid"], "{85BF87D6-FB51-4EFC-AA81-C5372C09FC14}");
  EXPECT_EQ(lib["version"], nlohmann::json::array({1, 0}));
  EXPECT_EQ(lib["lcid"], 1033);
  EXPECT_EQ(lib["interface"]["name"], "IOrvala");
  EXPECT_EQ(lib["interface"]["iid"], "{147DD1FA-4A92-4421-8B82-CE9027963033}");
  EXPECT_EQ(lib["interface"]["base"], "IAppServer");
  EXPECT_EQ(lib["interface"]["base_iid"], "{1AEFCC20-7A24-11D2-98B0-C69BEB4B5B6D}");
  EXPECT_EQ(lib["class"]["clsid"], "{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}");
  EXPECT_EQ(lib["class"]["progid"], "OrvalaAppServer.Orvala");

  struct Expected {
    const char* name;
    int slot;
    int dispid;
    size_t args;
    const char* result;  // nullptr: none
  };
  const Expected expected[] = {
      {"AS_ApplyUpdates", 7, 20000000, 5, "VARIANT"},
      {"AS_GetRecords", 8, 20000001, 7, "VARIANT"},
      {"AS_DataRequest", 9, 20000002, 2, "VARIANT"},
      {"AS_GetProviderNames", 10, 20000003, 0, "VARIANT"},
      {"AS_GetParams", 11, 20000004, 2, "VARIANT"},
      {"AS_RowRequest", 12, 20000005, 4, "VARIANT"},
      {"AS_Execute", 13, 20000006, 4, nullptr},
      {"Login", 14, 1, 5, "HRESULT"},
      {"Logoff", 15, 2, 1, "HRESULT"},
      {"ScriviLOG", 16, 3, 6, "HRESULT"},
      {"CanDo", 17, 4, 2, "HRESULT"},
      {"OpenDB", 18, 5, 0, nullptr},
      {"ExecSQL", 19, 6, 1, "HRESULT"},
      {"CheckNumRegistrazione", 20, 7, 6, "HRESULT"},
      {"setQuery", 21, 8, 2, "HRESULT"},
      {"UpdatePianoProgressivo", 22, 9, 9, nullptr},
      {"UpdateIVAProgressivo", 23, 10, 8, nullptr},
      {"CheckNumDocumento", 24, 11, 5, "HRESULT"},
      {"DeleteRegistrazione", 25, 12, 3, nullptr},
      {"UpdateHeader", 26, 13, 22, nullptr},
      {"AddProvider", 27, 14, 2, "HRESULT"},
      {"AddParameter", 28, 15, 3, "HRESULT"},
      {"DestroyProvider", 29, 16, 1, "HRESULT"},
      {"ClearPrimaNota", 30, 17, 0, nullptr},
      {"isLocked", 31, 18, 3, "HRESULT"},
      {"ExistingDocumento", 32, 20, 8, "HRESULT"},
      {"CanDeleteCliente", 33, 19, 1, "HRESULT"},
      {"CheckClientiCF", 34, 21, 1, "HRESULT"},
      {"AddMasterProvider", 35, 22, 3, "HRESULT"},
      {"DestroyMasterProvider", 36, 23, 2, "HRESULT"},
      {"AddDetailProvider", 37, 25, 3, "HRESULT"},
      {"CanDeleteClienteDitta", 38, 26, 1, "HRESULT"},
      {"CanDeleteFornitori", 39, 31, 1, "HRESULT"},
      {"CheckFornitoriCF", 40, 32, 1, "HRESULT"},
      {"Next_Sottoconto_Cliente", 41, 24, 3, "VARIANT"},
      {"Next_Sottoconto_Fornitore", 42, 27, 3, "VARIANT"},
      {"GetSession", 43, 28, 1, "HRESULT"},
      {"updateIVATERProgressivo", 44, 34, 9, nullptr},
  };
  const nlohmann::json& entries = lib["entries"];
  ASSERT_EQ(entries.size(), std::size(expected));
  for (size_t i = 0; i < entries.size(); ++i) {
    const nlohmann::json& e = entries[i];
    const Expected& want = expected[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(e["name"], want.name);
    EXPECT_EQ(e["slot"], want.slot);
    EXPECT_EQ(e["dispid"], want.dispid);
    EXPECT_EQ(e["kind"], want.slot < 14 ? "IAppServer" : "IOrvala");
    ASSERT_EQ(e["args"].size(), want.args);
    if (want.result) {
      EXPECT_EQ(e["result"]["type"], want.result);
    } else {
      EXPECT_TRUE(e["result"].is_null());
    }
  }
  // One argument in full: AS_GetRecords' Params travels in and out.
  EXPECT_EQ(entries[1]["args"][5], (nlohmann::json{{"name", "Params"}, {"direction", "inout"},
                                                    {"type", "VARIANT"}}));
  EXPECT_EQ(entries[7]["result"]["name"], "Result");

  // The C++ client reads the same, and the text stays for older clients.
  auto client = Client();
  EXPECT_EQ(client->TypeLibrary(), server::DescribeTypeLibraryAsData());
  EXPECT_EQ(client->TypeInfo(), server::DescribeTypeLibrary());
}

TEST_F(EndpointTest, MalformedInputClosesThatConnectionOnly) {
  Start();
  const Bytes call = wire::EncodeFrame(wire::ClientFrame(
      wire::CallRequest{wire::CallTarget::kSlot, 44, {Variant::BStr(u"SELECT 1")}}));
  const auto body = [](std::function<void(cbor::Writer&)> write) {
    cbor::Writer w;
    write(w);
    Bytes b = w.Take();
    Bytes framed(wire::kLengthPrefixSize + b.size());
    framed[3] = static_cast<uint8_t>(b.size());
    std::copy(b.begin(), b.end(), framed.begin() + wire::kLengthPrefixSize);
    return framed;
  };
  struct Case {
    std::string name;
    Bytes bytes;
    bool after_create;  // sent once the object exists
  };
  std::vector<Case> cases;
  for (size_t cut = 1; cut < call.size(); ++cut) {
    cases.push_back({"call cut at " + std::to_string(cut), Bytes(call.begin(), call.begin() + cut), true});
  }
  cases.push_back({"oversized length", {0xFF, 0xFF, 0xFF, 0xFF, 0x80}, true});
  cases.push_back({"zero length", {0, 0, 0, 0}, true});
  cases.push_back({"oversized hello", {0x7F, 0, 0, 0}, false});
  cases.push_back({"not an array", body([](cbor::Writer& w) { w.Text("hello"); }), true});
  cases.push_back({"unknown kind", body([](cbor::Writer& w) { w.ArrayHeader(1), w.Unsigned(99); }), true});
  cases.push_back({"call id as text", body([](cbor::Writer& w) {
                     w.ArrayHeader(4), w.Unsigned(3), w.Unsigned(0), w.Text("one"), w.ArrayHeader(0);
                   }), true});
  cases.push_back({"garbage first frame", body([](cbor::Writer& w) { w.Bytes("\x01\x02"); }), false});
  cases.push_back({"call before hello",
                   wire::EncodeFrame(wire::ClientFrame(wire::CallRequest{})), false});
  cases.push_back({"second hello", wire::EncodeFrame(wire::ClientFrame(wire::Hello{})), true});
  cases.push_back({"second object",
                   wire::EncodeFrame(wire::ClientFrame(wire::CreateObject{server::Library().clsid.ToString()})),
                   true});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FrameSocket s = Raw();
    if (c.after_create) {
      Send(s, wire::Hello{});
      EXPECT_EQ(StatusOf(Read(s)), S_OK);
      Send(s, wire::CreateObject{server::Library().clsid.ToString()});
      EXPECT_EQ(StatusOf(Read(s)), S_OK);
    }
    ASSERT_TRUE(s.WriteAll(c.bytes));
    ::shutdown(s.fd(), SHUT_WR);  // the peer says no more
    for (const wire::ServerFrame& said : UntilClosed(s)) {
      EXPECT_TRUE(Failed(StatusOf(said)));  // a reason, never a success
    }
  }
  ASSERT_TRUE(board_.WaitFor([&] { return board_.destroyed == board_.created; }));
  ExpectServing();
}

TEST_F(EndpointTest, CallsBeforeTheObjectOrForAnotherClassAreRefused) {
  Start();
  {
    FrameSocket s = Raw();
    Send(s, wire::Hello{});
    EXPECT_EQ(StatusOf(Read(s)), S_OK);
    Send(s, wire::CallRequest{wire::CallTarget::kSlot, 18, {}});
    const auto said = UntilClosed(s);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(StatusOf(said[0]), wire::kStatusProtocolError);
  }
  {
    FrameSocket s = Raw();
    Send(s, wire::Hello{2, std::nullopt});
    const auto said = UntilClosed(s);
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(StatusOf(said[0]), wire::kStatusVersionMismatch);
  }
  ConnectOptions other;
  other.endpoint = "unix:" + options_.unix_path.string();
  other.clsid = server::Library().iid;
  try {
    RemoteObject::Connect(other);
    ADD_FAILURE() << "an unknown class was created";
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), CLASS_E_CLASSNOTAVAILABLE);
  }
  EXPECT_EQ(board_.created, 0);
}

TEST_F(EndpointTest, APeerThatVanishesMidCallLeavesTheOthersServed) {
  Start();
  auto bystander = Client();
  {
    FrameSocket s = Raw();
    Send(s, wire::Hello{});
    EXPECT_EQ(StatusOf(Read(s)), S_OK);
    Send(s, wire::CreateObject{server::Library().clsid.ToString()});
    EXPECT_EQ(StatusOf(Read(s)), S_OK);
    Send(s, wire::CallRequest{wire::CallTarget::kDispid, 6, {Variant::BStr(u"SELECT 1")}});
    ASSERT_TRUE(board_.WaitFor([&] { return board_.call_started; }));
  }  // closed while the call runs
  board_.Note([&] { board_.release_call = true; });
  ASSERT_TRUE(board_.WaitFor([&] { return board_.destroyed == 1; }));
  std::vector<Variant> args(1);
  EXPECT_EQ(bystander->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  ExpectServing();
}

TEST_F(EndpointTest, ConnectionsBeyondTheLimitAreToldSo) {
  options_.limits.max_connections = 2;
  Start();
  auto a = Client();
  auto b = Client();
  try {
    Client();
    ADD_FAILURE() << "a third connection was served";
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), wire::kStatusServerTooBusy);
    EXPECT_NE(std::string(e.what()).find("at most 2"), std::string::npos) << e.what();
  }
  a.reset();
  // The slot frees once the first connection's thread has finished.
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::unique_ptr<RemoteObject> c;
  while (!c && std::chrono::steady_clock::now() < deadline) {
    try {
      c = Client();
    } catch (const Error&) {
      std::this_thread::sleep_for(10ms);
    }
  }
  EXPECT_TRUE(c);
}

// Replies larger than one frame come in parts and are joined; past the
// server's or the client's limit the call fails with a reason that names
// the limit, and the connection goes on serving.
TEST_F(EndpointTest, RepliesOfAnySizeComeInPartsUpToTheLimit) {
  options_.limits.max_reply_size = size_t{100} << 20;
  Start();
  const server::MethodDef& request = *server::MethodByName("AS_DataRequest");
  auto client = Client();
  struct Case {
    size_t size;
    HResult status;
  };
  for (const Case& c : {Case{1000, S_OK}, Case{(size_t{64} << 20) + 1, S_OK},
                        Case{(size_t{80} << 20) + 12345, S_OK},
                        Case{size_t{101} << 20, wire::kStatusReplyTooLarge},
                        Case{3, S_OK}}) {
    SCOPED_TRACE(c.size);
    std::vector<Variant> args = {Variant::BStr(u"P"), Variant::I4(static_cast<int32_t>(c.size))};
    const server::CallOutcome outcome = client->Invoke(request, args);
    ASSERT_EQ(outcome.status, c.status);
    if (Failed(c.status)) {
      ASSERT_TRUE(outcome.error);
      EXPECT_NE(outcome.error->description.find("limit of 104857600 bytes"), std::string::npos)
          << outcome.error->description;
      EXPECT_NE(outcome.error->description.find("slices"), std::string::npos);
      continue;
    }
    ASSERT_TRUE(outcome.result);
    const ByteArray& bytes = outcome.result->bytes();
    ASSERT_EQ(bytes.size(), c.size);
    for (size_t i = 0; i < bytes.size(); i += 4099) ASSERT_EQ(bytes[i], static_cast<uint8_t>(i * 7));
    EXPECT_EQ(bytes.back(), static_cast<uint8_t>((c.size - 1) * 7));
  }
  EXPECT_TRUE(client->connected());

  // The client's own limit: the parts are read and dropped.
  ConnectOptions small;
  small.endpoint = "unix:" + options_.unix_path.string();
  small.max_reply_size = size_t{70} << 20;
  auto careful = RemoteObject::Connect(small);
  std::vector<Variant> args = {Variant::BStr(u"P"), Variant::I4(80 << 20)};
  const server::CallOutcome refused = careful->Invoke(request, args);
  EXPECT_EQ(refused.status, wire::kStatusReplyTooLarge);
  ASSERT_TRUE(refused.error);
  EXPECT_NE(refused.error->description.find("limit of 73400320 bytes"), std::string::npos);
  args = {Variant::BStr(u"P"), Variant::I4(10)};
  EXPECT_EQ(careful->Invoke(request, args).status, S_OK);
  EXPECT_EQ(args.size(), 2u);
}

// A frame that has started must arrive whole in time, however slowly its
// bytes come; between frames a signed-in client may stay silent.
TEST_F(EndpointTest, AFrameThatDribblesIsCutAndAnIdleClientIsNot) {
  options_.limits.frame_timeout = 300ms;
  Start();
  auto idle = Client();
  FrameSocket s = Raw();
  Send(s, wire::Hello{});
  EXPECT_EQ(StatusOf(Read(s)), S_OK);
  // Long enough that it takes ten times the deadline to dribble whole.
  const Bytes call = wire::EncodeFrame(
      wire::ClientFrame(wire::GetIdsOfNames{{std::string(24, 'x')}}));
  const auto started = std::chrono::steady_clock::now();
  bool cut = false;
  for (size_t i = 0; i < call.size() && !cut; ++i) {
    cut = !s.WriteAll(std::span(call).subspan(i, 1));
    std::this_thread::sleep_for(100ms);
    Bytes body;
    cut = cut || s.ReadFrame(body, wire::kDefaultMaxFrameSize, std::chrono::steady_clock::now()) ==
                     FrameSocket::ReadResult::kClosed;
  }
  if (!cut) {
    EXPECT_TRUE(UntilClosed(s).empty());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, kPatience);
  std::this_thread::sleep_for(400ms);  // longer than a frame may take
  std::vector<Variant> args(1);
  EXPECT_EQ(idle->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
}

// A peer that asks for a large reply and never reads it holds the
// connection only as long as one frame may take to leave.
TEST_F(EndpointTest, APeerThatDoesNotReadItsReplyIsLetGo) {
  options_.limits.frame_timeout = 300ms;
  Start();
  FrameSocket s = Raw();
  Send(s, wire::Hello{});
  EXPECT_EQ(StatusOf(Read(s)), S_OK);
  Send(s, wire::CreateObject{server::Library().clsid.ToString()});
  EXPECT_EQ(StatusOf(Read(s)), S_OK);
  Send(s, wire::CallRequest{wire::CallTarget::kSlot, server::MethodByName("AS_DataRequest")->slot,
                            {Variant::BStr(u"P"), Variant::I4(80 << 20)}});
  // Nothing is read: the server's send stalls, and it gives up.
  ASSERT_TRUE(board_.WaitFor([&] { return board_.destroyed == 1; }));
  ExpectServing();
}

// Connections that never say hello wait in a room of their own: they
// cannot take the places of signed-in clients, and when they fill their
// room the oldest of them leaves it for a newcomer.
TEST_F(EndpointTest, SilentConnectionsCannotKeepOutOneThatSaysHello) {
  options_.limits.max_pending = 4;
  options_.limits.max_connections = 2;
  options_.tcp_listen = "127.0.0.1:0";
  options_.tcp_secret = "s3cret";
  Start();
  const std::string address = "127.0.0.1:" + std::to_string(*endpoint_->tcp_port());
  std::vector<UniqueFd> flood;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 8; ++i) flood.push_back(Connect(ParseEndpoint(address), 5s));
    auto client = Client("s3cret", address);  // in while the flood goes on
    std::vector<Variant> args(1);
    EXPECT_EQ(client->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  }
  // The signed-in places are a limit of their own (the last round's place
  // frees once its thread has finished).
  ASSERT_TRUE(board_.WaitFor([&] { return board_.destroyed == 3; }));
  auto a = Client("s3cret", address);
  std::unique_ptr<RemoteObject> b;
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!b && std::chrono::steady_clock::now() < deadline) {
    try {
      b = Client("s3cret", address);
    } catch (const Error&) {
      std::this_thread::sleep_for(10ms);
    }
  }
  ASSERT_TRUE(b);
  try {
    Client("s3cret", address);
    ADD_FAILURE() << "a third signed-in connection was served";
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), wire::kStatusServerTooBusy);
  }
  EXPECT_EQ(board_.created, 5);
}

TEST_F(EndpointTest, PlainTextBeyondLoopbackIsRefused) {
  options_.tcp_listen = "192.0.2.1:7000";  // a documentation address, never bound here
  options_.tcp_secret = "s3cret";
  try {
    Start();
    ADD_FAILURE() << "listened in plain text beyond loopback";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("--allow-plaintext"), std::string::npos) << e.what();
  }
}

TEST_F(EndpointTest, AConnectionThatNeverSaysHelloIsClosed) {
  options_.limits.hello_timeout = 100ms;
  Start();
  FrameSocket s = Raw();
  EXPECT_TRUE(UntilClosed(s).empty());
  EXPECT_EQ(board_.created, 0);
}

TEST_F(EndpointTest, StopDisconnectsClientsAndReleasesTheirObjects) {
  Start();
  auto client = Client();
  endpoint_->Stop();
  EXPECT_EQ(board_.destroyed, 1);
  EXPECT_FALSE(std::filesystem::exists(options_.unix_path));
  std::vector<Variant> args(1);
  EXPECT_EQ(client->Invoke(*server::MethodByName("GetSession"), args).status, RPC_E_DISCONNECTED);
  EXPECT_FALSE(client->connected());
}

TEST_F(EndpointTest, TheLocalSocketIsOwnerOnlyAndServedByOneServer) {
  Start();
  struct stat info {};
  ASSERT_EQ(::stat(options_.unix_path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_THROW(ServerEndpoint(options_, [] { return nullptr; }), Error);
  ExpectServing();  // the refused second server took nothing away

  endpoint_->Stop();
  options_.unix_group = getgid();
  std::ofstream(options_.unix_path) << "left behind";  // a stale file is replaced
  Start();
  ASSERT_EQ(::stat(options_.unix_path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0660u);
  EXPECT_EQ(info.st_gid, getgid());
  // The group can pass through the socket's folder, not list it.
  ASSERT_EQ(::stat(options_.unix_path.parent_path().c_str(), &info), 0);
  EXPECT_TRUE((info.st_mode & S_IXGRP) != 0 || (info.st_mode & S_IXOTH) != 0);
  EXPECT_EQ(info.st_mode & (S_IWGRP | S_IWOTH), 0u);
  ExpectServing();
}

TEST_F(EndpointTest, TcpNeedsTheSharedSecret) {
  options_.tcp_listen = "127.0.0.1:0";
  EXPECT_THROW(Start(), Error);  // never without a secret

  options_.tcp_secret = "correct horse";
  Start();
  ASSERT_TRUE(endpoint_->tcp_port());
  const std::string address = "127.0.0.1:" + std::to_string(*endpoint_->tcp_port());
  for (const std::optional<std::string>& wrong : {std::optional<std::string>(), std::optional<std::string>("correct hors"),
                                                   std::optional<std::string>("correct horse!")}) {
    try {
      Client(wrong, address);
      ADD_FAILURE() << "served without the secret";
    } catch (const Error& e) {
      EXPECT_EQ(e.status(), E_ACCESSDENIED);
    }
  }
  EXPECT_EQ(board_.created, 0);
  auto client = Client("correct horse", address);
  std::vector<Variant> args(1);
  EXPECT_EQ(client->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  // The local socket asks for no secret unless told to.
  ExpectServing();
}

TEST(SecretFileTest, OnlyAnOwnerOnlyFileWithTextIsTaken) {
  orvala::testing::TempDir dir;
  const auto write = [&](const std::string& name, const std::string& text, mode_t mode) {
    const auto path = dir / name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
  };
  EXPECT_EQ(ReadSecretFile(write("good", "s3cret\n", 0600)), "s3cret");
  EXPECT_THROW(ReadSecretFile(write("open", "s3cret\n", 0644)), Error);
  EXPECT_THROW(ReadSecretFile(write("empty", "\n", 0600)), Error);
  EXPECT_THROW(ReadSecretFile(dir / "missing"), Error);
}

TEST(AddressTest, TcpAddressesDefaultToLoopback) {
  EXPECT_EQ(ParseTcpAddress("5000").ToString(), "127.0.0.1:5000");
  EXPECT_EQ(ParseTcpAddress(":5000").ToString(), "127.0.0.1:5000");
  EXPECT_EQ(ParseTcpAddress("0.0.0.0:80").ToString(), "0.0.0.0:80");
  EXPECT_EQ(ParseTcpAddress("[::1]:80").ToString(), "[::1]:80");
  for (const char* bad : {"", "host:", "host:65536", "::1:80", "[::1]80", "host:8x"}) {
    EXPECT_THROW(ParseTcpAddress(bad), Error) << bad;
  }
  EXPECT_EQ(ParseEndpoint("/run/orvala.sock").kind, Address::Kind::kUnix);
  EXPECT_EQ(ParseEndpoint("unix:orvala.sock").path, "orvala.sock");
  EXPECT_EQ(ParseEndpoint("localhost:1").kind, Address::Kind::kTcp);
}

}  // namespace
}  // namespace orvala::transport
