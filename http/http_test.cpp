// The HTTP endpoint of a real orvala-server process, over a fresh demo
// database, driven by a real HTTP client (cpp-httplib's) on loopback.
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "common/error.h"
#include "json/packet_json.h"
#include "packets/packet_variant.h"
#include "server/type_library.h"
#include "tests/database_fixture.h"
#include "tests/fault_server.h"
#include "transport/test_certificates.h"

namespace orvala::http {
namespace {

using json::Json;
using namespace std::chrono_literals;

constexpr const char* kSecret = "web-test-secret";
// A bound for waits on the server; reaching it is a failure.
constexpr auto kPatience = 30s;

// orvala-server with --http on a free loopback port.
class WebServer {
 public:
  explicit WebServer(std::vector<std::string> extra_args = {}, bool with_secret = true) {
    const auto secret = dir_ / "secret";
    std::ofstream(secret) << kSecret << "\n";
    chmod(secret.c_str(), 0600);
    std::vector<std::string> args{"--http", "127.0.0.1:0"};
    if (with_secret) args.insert(args.end(), {"--secret-file", secret.string()});
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    server_ = std::make_unique<testing::ServerProgram>(
        dir_.path(), testing::FreshDatabase(dir_).string(), args);
    // The port is on the line that says where the server serves.
    const std::regex serving("and HTTP port ([0-9]+)");
    for (auto deadline = std::chrono::steady_clock::now() + kPatience; port_ == 0;) {
      std::ifstream log(dir_ / "server.log");
      const std::string text((std::istreambuf_iterator<char>(log)), {});
      if (std::smatch m; std::regex_search(text, m, serving)) port_ = std::stoi(m[1]);
      if (std::chrono::steady_clock::now() > deadline) throw Error("no HTTP port: " + text);
      std::this_thread::sleep_for(20ms);
    }
  }

  // A client that presents the secret.
  std::unique_ptr<httplib::Client> Client(bool with_secret = true) const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
    if (with_secret) client->set_bearer_token_auth(kSecret);
    client->set_read_timeout(60, 0);
    return client;
  }

  testing::ServerProgram& program() { return *server_; }
  int port() const { return port_; }
  const testing::TempDir& dir() const { return dir_; }

 private:
  testing::TempDir dir_;
  std::unique_ptr<testing::ServerProgram> server_;
  int port_ = 0;
};

Json Body(const httplib::Result& result) {
  if (!result) throw Error("no answer: " + httplib::to_string(result.error()));
  return result->body.empty() ? Json() : Json::parse(result->body);
}

// Over httplib::Client or httplib::SSLClient.
template <typename Client>
std::string NewObject(Client& client) {
  const auto result = client.Post("/v1/objects");
  if (!result || result->status != 201) throw Error("no object: " + (result ? result->body : ""));
  const Json body = Body(result);
  return body.at("id").get<std::string>();
}

template <typename Client>
httplib::Result Call(Client& client, const std::string& id, const std::string& method,
                     const Json& args = Json()) {
  return client.Post("/v1/objects/" + id + "/calls/" + method,
                     args.is_null() ? std::string() : args.dump(), "application/json");
}

template <typename Client>
Json CallOk(Client& client, const std::string& id, const std::string& method,
            const Json& args = Json()) {
  const auto result = Call(client, id, method, args);
  if (!result || result->status != 200) {
    throw Error(method + " answered " + (result ? std::to_string(result->status) + " " + result->body
                                                 : httplib::to_string(result.error())));
  }
  return Body(result);
}

void SignIn(httplib::Client& client, const std::string& id) {
  CallOk(client, id, "OpenDB");
  const Json login = CallOk(client, id, "Login", Json::array({"DEMO", "demo", 2024, "00001"}));
  ASSERT_EQ(login.at("result"), Json::parse(R"({"vt":"I4","value":0})")) << login.dump();
}

// The threads of socket objects that ended are gone once the server
// counts no socket object.
void WaitForNoSocketObject(httplib::Client& client) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (Body(client.Get("/v1/status")).at("objects").at("socket") != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(20ms);
  }
}

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new WebServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  static WebServer* server_;
};
WebServer* HttpTest::server_ = nullptr;

TEST_F(HttpTest, EveryGuardedRouteRefusesARequestWithoutTheSecret) {
  struct Case {
    const char* method;
    const char* path;
    const char* authorization;  // nullptr: no header
  };
  const Case cases[] = {
      {"POST", "/v1/objects", nullptr},
      {"POST", "/v1/objects", "Bearer wrong"},
      {"POST", "/v1/objects", "Bearer web-test-secre"},
      {"POST", "/v1/objects", "Basic d2ViOnRlc3Q="},
      {"POST", "/v1/objects/00/calls/OpenDB", nullptr},
      {"DELETE", "/v1/objects/00", nullptr},
      {"GET", "/v1/openapi.json", nullptr},
      {"GET", "/v1/status", nullptr},
      {"GET", "/metrics", "Bearer "},
  };
  auto client = server_->Client(false);
  for (const Case& c : cases) {
    httplib::Headers headers;
    if (c.authorization) headers.emplace("Authorization", c.authorization);
    const std::string method = c.method;
    const auto result = method == "GET"    ? client->Get(c.path, headers)
                        : method == "POST" ? client->Post(c.path, headers, "", "application/json")
                                           : client->Delete(c.path, headers);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, 401) << c.method << " " << c.path << " " << (c.authorization ? c.authorization : "");
    EXPECT_EQ(Body(result).at("error"), "the request does not present the server's secret");
  }
  // No object was created by any of them.
  const Json status = Body(server_->Client()->Get("/v1/status"));
  EXPECT_EQ(status.at("objects").at("http"), 0);
  const std::string metrics = server_->Client()->Get("/metrics")->body;
  EXPECT_NE(metrics.find("orvala_refused_total{transport=\"http\",reason=\"secret\"}"),
            std::string::npos);
}

TEST_F(HttpTest, CallsAnswerAsOrvalaCliPrints) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  SignIn(*client, id);
  // By argument name (any letter case) and in order give the same call.
  const Json by_name = CallOk(*client, id, "getsession");
  EXPECT_EQ(by_name.at("call"), "GetSession");
  EXPECT_EQ(by_name.at("status"), "0x00000000");
  EXPECT_TRUE(by_name.at("out").contains("SessionNumber")) << by_name.dump();
  const Json can_do = CallOk(*client, id, "CanDo", Json{{"id_funzioni", "ANAGRAFICHE"},
                                                        {"ID_UTENTI", 1}});
  EXPECT_EQ(can_do.at("result"), Json::parse(R"({"vt":"I4","value":0})"));

  // The same lines through orvala-cli against the same server's socket.
  const std::string script =
      "OpenDB\nAS_GetRecords SelectEsercizi -1\nCanDo 1 MENU\nAS_GetRecords NoSuchProvider\n";
  const Json http_replies = Json::array(
      {CallOk(*client, id, "OpenDB"), CallOk(*client, id, "AS_GetRecords", {"SelectEsercizi", -1}),
       CallOk(*client, id, "CanDo", {1, "MENU"}),
       CallOk(*client, id, "AS_GetRecords", {"NoSuchProvider"})});
  std::vector<std::string> argv{testing::CliProgramPath(), "--endpoint",
                                "unix:" + server_->program().socket().string()};
  testing::ChildProcess cli(argv, server_->program().Environment());
  cli.Write(script);
  cli.CloseInput();
  for (const Json& reply : http_replies) {
    std::string line;
    ASSERT_TRUE(cli.ReadLine(line));
    EXPECT_EQ(Json::parse(line), reply);
  }
  EXPECT_EQ(cli.Wait(), 0);
  WaitForNoSocketObject(*client);
  EXPECT_EQ(http_replies[1].at("rows").size(), 3u);
  EXPECT_TRUE(http_replies[3].contains("error")) << http_replies[3].dump();
  EXPECT_FALSE(http_replies[3].contains("result"));
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
}

TEST_F(HttpTest, AnObjectLivesOnAThreadOfItsOwnUntilReleased) {
  auto client = server_->Client();
  // The first object's database work starts the engine's own threads.
  const std::string first = NewObject(*client);
  CallOk(*client, first, "OpenDB");
  ASSERT_EQ(client->Delete("/v1/objects/" + first)->status, 204);
  WaitForNoSocketObject(*client);
  const int threads_before = server_->program().Threads();
  const std::string id = NewObject(*client);
  EXPECT_EQ(server_->program().Threads(), threads_before + 1);
  EXPECT_EQ(Body(client->Get("/v1/status")).at("objects").at("http"), 1);
  CallOk(*client, id, "OpenDB");
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
  // Destroyed before DELETE answered: its thread is gone too.
  EXPECT_EQ(server_->program().Threads(), threads_before);
  EXPECT_EQ(Body(client->Get("/v1/status")).at("objects").at("http"), 0);

  const auto released = Call(*client, id, "OpenDB");
  ASSERT_TRUE(released);
  EXPECT_EQ(released->status, 404);
  EXPECT_EQ(Body(released).at("error"), "no object " + id);
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 404);
  EXPECT_EQ(Call(*client, "0123456789abcdef", "OpenDB")->status, 404);
}

TEST_F(HttpTest, ConcurrentRequestsOnOneObjectRunOneAtATimeInOrder) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  CallOk(*client, id, "AddProvider", {"A", "select codice from articoli order by codice"});
  CallOk(*client, id, "AS_GetRecords", {"A", 0});
  // Slices of one row from six clients at once: each call continues the
  // fetch where the last one stopped, so the thirty calls together see
  // each of the thirty rows once.
  std::vector<std::string> seen;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      auto own = server_->Client();
      for (int i = 0; i < 5; ++i) {
        const Json reply = CallOk(*own, id, "AS_GetRecords", {"A", 1});
        std::lock_guard lock(mutex);
        for (const Json& row : reply.at("rows")) seen.push_back(row.at(0).get<std::string>());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(seen.size(), 30u);
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 30u);
  EXPECT_EQ(CallOk(*client, id, "AS_GetRecords", {"A", 1}).at("rows"), Json::array());
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
}

TEST_F(HttpTest, AMalformedRequestIsTold400AndHarmsNothing) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  struct Case {
    const char* method;
    const char* body;
    int status;
    const char* error_part;
  };
  const Case cases[] = {
      {"OpenDB", "{not json", 400, "the body is not JSON"},
      {"OpenDB", "[1,", 400, "the body is not JSON"},
      {"Login", R"(["DEMO","demo","not a year","00001"])", 400, "argument Anno"},
      {"Login", R"(["DEMO"])", 400, "Login takes 4 arguments"},
      {"Login", R"({"Nobody":1})", 400, "Login has no in or in-out argument Nobody"},
      {"CanDo", R"("text")", 400, "array or an object"},
      {"AS_ApplyUpdates", R"(["SelectArticoli",{"modify":[{"old":{"NOPE":1},"new":{}}]},0])", 400,
       "no field NOPE"},
      {"NoSuchMethod", "[]", 404, "unknown method 'NoSuchMethod'"},
  };
  for (const Case& c : cases) {
    const auto result = client->Post("/v1/objects/" + id + "/calls/" + c.method, c.body,
                                      "application/json");
    ASSERT_TRUE(result) << c.body;
    EXPECT_EQ(result->status, c.status) << c.body << ": " << result->body;
    EXPECT_NE(Body(result).at("error").get<std::string>().find(c.error_part), std::string::npos)
        << c.body << ": " << result->body;
  }
  // The object and the server still serve.
  SignIn(*client, id);
  EXPECT_TRUE(server_->program().alive());
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
}

TEST_F(HttpTest, AnEditAppliedOverHttpIsReadBack) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  EXPECT_EQ(CallOk(*client, id, "AS_GetRecords", {"SelectArticoli", -1}).at("recsOut"), 30);
  const Json delta = Json::parse(
      R"({"modify":[{"old":{"CODICE":"ART002"},"new":{"DESCRIZIONE":"CHANGED OVER HTTP"}}]})");
  const Json applied = CallOk(*client, id, "AS_ApplyUpdates",
                              Json{{"ProviderName", "SelectArticoli"}, {"Delta", delta},
                                   {"MaxErrors", 0}});
  EXPECT_EQ(applied.at("errorCount"), 0) << applied.dump();
  // A second object sees it.
  const std::string other = NewObject(*client);
  CallOk(*client, other, "OpenDB");
  CallOk(*client, other, "AddProvider",
         {"D", "select descrizione from articoli where codice = 'ART002'"});
  EXPECT_EQ(CallOk(*client, other, "AS_GetRecords", {"D", -1}).at("rows"),
            Json::parse(R"([["CHANGED OVER HTTP"]])"));
  client->Delete("/v1/objects/" + id);
  client->Delete("/v1/objects/" + other);
}

TEST_F(HttpTest, CborCarriesTheBinaryPacketsBothWays) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  const auto result = client->Post("/v1/objects/" + id + "/calls/AS_GetRecords",
                                   httplib::Headers{{"Accept", "application/cbor"}},
                                   R"(["SelectEsercizi", -1])", "application/json");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200);
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/cbor");
  const Json reply = Json::from_cbor(result->body);
  EXPECT_EQ(reply.at("status"), "0x00000000");
  EXPECT_EQ(reply.at("recsOut"), 3);
  ASSERT_TRUE(reply.at("result").is_binary());
  const auto& bytes = reply.at("result").get_binary();
  const packets::DataPacket packet =
      packets::DataPacketFromVariant(Variant::Bytes(ByteArray(bytes.begin(), bytes.end())));
  EXPECT_EQ(packet.rows.size(), 3u);

  // A CBOR body gives a packet argument as the binary packet itself.
  const Json fetched = CallOk(*client, id, "AS_GetRecords", {"SelectArticoli", -1});
  Json old = Json::object();
  for (size_t i = 0; i < fetched.at("fields").size(); ++i) {
    old[fetched.at("fields")[i].at("name").get<std::string>()] = fetched.at("rows")[0][i];
  }
  const Json edit{{"modify", Json::array({Json{{"old", old},
                                              {"new", Json{{"DESCRIZIONE", "SENT AS CBOR"}}}}})}};
  const Variant delta = packets::ToVariant(
      json::DeltaFromJson(edit, json::FieldsFromJson(fetched.at("fields")), "WINDOWS-1252"),
      packets::Encoding::Binary);
  const std::vector<uint8_t> body = Json::to_cbor(Json::array(
      {"SelectArticoli", Json::binary(std::vector<uint8_t>(delta.bytes().begin(), delta.bytes().end())),
       0}));
  const auto applied = client->Post("/v1/objects/" + id + "/calls/AS_ApplyUpdates",
                                    std::string(body.begin(), body.end()), "application/cbor");
  ASSERT_TRUE(applied);
  ASSERT_EQ(applied->status, 200) << applied->body;
  EXPECT_EQ(Body(applied).at("errorCount"), 0) << applied->body;
  CallOk(*client, id, "AddProvider", {"C", "select descrizione from articoli where codice = 'ART001'"});
  EXPECT_EQ(CallOk(*client, id, "AS_GetRecords", {"C", -1}).at("rows"),
            Json::parse(R"([["SENT AS CBOR"]])"));
  client->Delete("/v1/objects/" + id);
}

TEST_F(HttpTest, TheOpenApiDescriptionHasEveryMethodWithItsArguments) {
  const Json doc = Body(server_->Client()->Get("/v1/openapi.json"));
  EXPECT_EQ(doc.at("openapi"), "3.1.0");
  ASSERT_TRUE(doc.at("paths").contains("/v1/objects"));
  ASSERT_TRUE(doc.at("paths").contains("/v1/objects/{id}"));
  size_t calls = 0;
  for (const server::MethodDef& method : server::Methods()) {
    if (!server::MethodByName(method.name) || method.body == nullptr) continue;
    ++calls;
    const std::string path = std::string("/v1/objects/{id}/calls/") + method.name;
    ASSERT_TRUE(doc.at("paths").contains(path)) << path;
    const Json& op = doc.at("paths").at(path).at("post");
    const Json& body = op.at("requestBody").at("content").at("application/json").at("schema");
    const Json& positional = body.at("oneOf").at(0).at("prefixItems");
    const Json& named = body.at("oneOf").at(1).at("properties");
    size_t in = 0;
    for (const server::ArgDef& arg : method.args) {
      if (arg.direction == server::ArgDirection::Out) {
        EXPECT_TRUE(op.at("responses").at("200").at("content").at("application/json").at("schema")
                        .at("properties").at("out").at("properties").contains(arg.name))
            << method.name << " " << arg.name;
        continue;
      }
      ASSERT_LT(in, positional.size()) << method.name;
      EXPECT_EQ(positional.at(in++).at("title"), arg.name) << method.name;
      EXPECT_EQ(named.at(arg.name).at("x-orvala-type"), server::ArgTypeName(arg.type));
    }
    EXPECT_EQ(in, positional.size()) << method.name;
  }
  EXPECT_EQ(calls, 38u);  // the seven provider operations and the 31 methods
  // Every reference names a schema that is there.
  const std::string text = doc.dump();
  const std::regex ref(R"re("\$ref":"#/components/schemas/([A-Za-z]+)")re");
  for (std::sregex_iterator it(text.begin(), text.end(), ref), end; it != end; ++it) {
    EXPECT_TRUE(doc.at("components").at("schemas").contains((*it)[1].str())) << (*it)[1];
  }
}

TEST_F(HttpTest, MetricsCountObjectsCallsLatencyAndRows) {
  auto client = server_->Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  CallOk(*client, id, "AS_GetRecords", {"SelectEsercizi", -1});
  const std::string text = client->Get("/metrics")->body;
  for (const char* expected :
       {"orvala_objects{transport=\"http\"} 1\n", "orvala_objects{transport=\"socket\"} ",
        "orvala_connections{transport=\"http\"} ",
        "orvala_calls_total{transport=\"http\",method=\"OpenDB\",status=\"0x00000000\"} ",
        "orvala_calls_total{transport=\"http\",method=\"AS_GetRecords\",status=\"0x00000000\"} ",
        "orvala_call_seconds_bucket{transport=\"http\",le=\"+Inf\"} ",
        "orvala_call_seconds_count{transport=\"http\"} ", "# TYPE orvala_call_seconds histogram\n",
        "orvala_rows_fetched_total ", "orvala_rows_applied_total "}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  const std::regex fetched("orvala_rows_fetched_total ([0-9]+)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, fetched));
  EXPECT_GE(std::stoi(m[1]), 3);
  client->Delete("/v1/objects/" + id);
}

// A raw loopback connection to the endpoint, for requests that no HTTP
// client would send.
class RawConnection {
 public:
  explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      throw Error("cannot connect");
    }
  }
  ~RawConnection() { close(fd_); }
  void Send(const std::string& text) {
    if (send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
      throw Error("cannot send");
    }
  }
  // What the server sends until it closes the connection (or, when given,
  // until `until` has come), or what came within the patience.
  std::string ReadToEnd(const std::string& until = "") {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return text;
      text.append(chunk, static_cast<size_t>(n));
      if (!until.empty() && text.find(until) != std::string::npos) return text;
    }
    return text + "<still open>";
  }

 private:
  int fd_;
};

TEST(HttpLimitsTest, TheOperatorsLimitsHold) {
  WebServer server({"--max-connections", "8", "--max-frame-size", "1M", "--frame-timeout", "2"});
  // Connections beyond the 8 served at once are told so. The idle ones
  // are opened one at a time, each once the server serves the one before
  // (its accept queue is short).
  auto client = server.Client();
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::vector<std::unique_ptr<RawConnection>> idle;
  const std::regex open_now("orvala_connections\\{transport=\"http\"\\} ([0-9]+)");
  for (int i = 0; i < 7; ++i) {
    idle.push_back(std::make_unique<RawConnection>(server.port()));
    for (;;) {
      const std::string text = client->Get("/metrics")->body;
      std::smatch m;
      ASSERT_TRUE(std::regex_search(text, m, open_now));
      if (std::stoi(m[1]) == i + 2) break;  // the idle ones and this request's
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(5ms);
    }
  }
  // Asks until the answer has `status` (the last connection reaches its
  // thread, or the idle ones leave theirs, in its own time).
  auto status_until = [&](int status) {
    httplib::Result answer = client->Get("/v1/status");
    while (answer && answer->status != status && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
      answer = client->Get("/v1/status");
    }
    return answer;
  };
  idle.push_back(std::make_unique<RawConnection>(server.port()));
  const httplib::Result refused = status_until(503);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_EQ(Body(refused).at("error"), "too many connections");
  idle.clear();
  const httplib::Result served = status_until(200);
  ASSERT_TRUE(served);
  EXPECT_EQ(served->status, 200);
  // A body larger than the limit is refused before it is read.
  RawConnection large(server.port());
  large.Send(std::string("POST /v1/objects HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ") +
             kSecret + "\r\nContent-Length: 100000000\r\n\r\n");
  EXPECT_EQ(large.ReadToEnd("\r\n\r\n").rfind("HTTP/1.1 413", 0), 0u);

  // A request that stops halfway is dropped after the frame time.
  RawConnection stalled(server.port());
  stalled.Send("POST /v1/objects HTTP/1.1\r\nHost: x\r\n");
  const std::string dropped = stalled.ReadToEnd();
  EXPECT_EQ(dropped.find("<still open>"), std::string::npos);
  EXPECT_EQ(dropped.find("201"), std::string::npos) << dropped;

  const std::string metrics = client->Get("/metrics")->body;
  for (const char* reason : {"body_size", "connections"}) {
    EXPECT_NE(metrics.find(std::string("reason=\"") + reason + "\"} "), std::string::npos)
        << reason << "\n" << metrics;
  }
}

TEST(HttpIdleTest, AnObjectUnusedForTheIdleTimeIsReleased) {
  WebServer server({"--http-idle-timeout", "1"});
  auto client = server.Client();
  const std::string id = NewObject(*client);
  CallOk(*client, id, "OpenDB");
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (Body(client->Get("/v1/status")).at("objects").at("http") != 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the idle object was not released";
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(Call(*client, id, "OpenDB")->status, 404);
}

// TLS with the TCP listener's options: the server's certificate, and
// client certificates that stand in for the secret.
class HttpTlsTest : public ::testing::Test {
 protected:
  HttpTlsTest() : authority_(certificates_.path(), "Orvala Test Authority") {
    // A refused handshake closes the socket under the client's TLS write.
    signal(SIGPIPE, SIG_IGN);
    server_files_ = authority_.Issue("server", "IP:127.0.0.1");
    client_files_ = authority_.Issue("client", "DNS:client");
  }

  std::unique_ptr<httplib::SSLClient> Client(int port, bool with_certificate) {
    auto client = with_certificate
                      ? std::make_unique<httplib::SSLClient>("127.0.0.1", port,
                                                             client_files_.cert.string(),
                                                             client_files_.key.string())
                      : std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    client->set_ca_cert_path(authority_.cert().c_str());
    client->enable_server_certificate_verification(true);
    client->set_read_timeout(60, 0);
    return client;
  }

  testing::TempDir certificates_;
  testing::TestAuthority authority_;
  testing::CertificateFiles server_files_, client_files_;
};

TEST_F(HttpTlsTest, TheEndpointSpeaksTlsWithTheListenersCertificate) {
  WebServer server({"--tls-cert", server_files_.cert.string(), "--tls-key",
                    server_files_.key.string()});
  auto client = Client(server.port(), false);
  client->set_bearer_token_auth(kSecret);
  const std::string id = NewObject(*client);
  EXPECT_EQ(CallOk(*client, id, "OpenDB").at("status"), "0x00000000");
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
  // Without the secret, still refused; in plain text, not served at all.
  auto anonymous = Client(server.port(), false);
  EXPECT_EQ(anonymous->Post("/v1/objects", "", "application/json")->status, 401);
  httplib::Client plain("127.0.0.1", server.port());
  plain.set_bearer_token_auth(kSecret);
  const auto refused = plain.Post("/v1/objects", "", "application/json");
  EXPECT_TRUE(!refused || refused->status != 201);
}

TEST_F(HttpTlsTest, AClientCertificateStandsInForTheSecret) {
  WebServer server({"--tls-cert", server_files_.cert.string(), "--tls-key",
                    server_files_.key.string(), "--tls-client-ca", authority_.cert().string()},
                   false);
  auto client = Client(server.port(), true);
  const std::string id = NewObject(*client);
  EXPECT_EQ(CallOk(*client, id, "OpenDB").at("status"), "0x00000000");
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
  // A client without a certificate does not get through the handshake.
  EXPECT_FALSE(Client(server.port(), false)->Post("/v1/objects", "", "application/json"));
}

TEST_F(HttpTlsTest, WithTheSecretAndClientCertificatesARequestNeedsBoth) {
  WebServer server({"--tls-cert", server_files_.cert.string(), "--tls-key",
                    server_files_.key.string(), "--tls-client-ca", authority_.cert().string()});
  auto client = Client(server.port(), true);
  EXPECT_EQ(client->Post("/v1/objects", "", "application/json")->status, 401);
  client->set_bearer_token_auth(kSecret);
  const std::string id = NewObject(*client);
  EXPECT_EQ(client->Delete("/v1/objects/" + id)->status, 204);
}

TEST(HttpOptionsTest, ANonLoopbackAddressWithoutTlsIsRefused) {
  testing::TempDir dir;
  const auto secret = dir / "secret";
  std::ofstream(secret) << kSecret << "\n";
  chmod(secret.c_str(), 0600);
  std::vector<std::string> argv{testing::ServerProgramPath(), "--headless", "--http",
                                "0.0.0.0:0", "--secret-file", secret.string()};
  const auto registry = dir / "registry";
  const auto run = dir / "run";
  std::filesystem::create_directories(registry);
  std::filesystem::create_directories(run);
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  testing::ChildProcess server(argv, {"ORVALA_REGISTRY_DIR=" + registry.string(),
                                      "ORVALA_RUNTIME_DIR=" + run.string()},
                               dir / "server.log");
  EXPECT_EQ(server.Wait(), 1);
  std::ifstream log(dir / "server.log");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("is not a loopback address"), std::string::npos) << text;
}

}  // namespace
}  // namespace orvala::http
