// orvala-bench-http: the fetch of N rows (100,000 by default) over the web
// transport, with JSON and with CBOR, against the same fetch over the
// local socket, in the same run.
//
//   orvala-bench-http --work DIR --server PATH [--rows N] [--reps N] [--table FILE]
//
// DIR is the folder that orvala-bench filled: its registry names the
// benchmark database, whose generated journal lines are fetched. Each
// figure is the time until the client holds the rows: the socket's and
// CBOR's binary packet decoded into a DataPacket, JSON's body parsed.
#include <CLI/CLI.hpp>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "bench/server_child.h"
#include "bench/stats.h"
#include "client/orvala_proxy.h"
#include "common/error.h"
#include "json/variant_json.h"
#include "packets/packet_variant.h"
#include "transport/client_connection.h"

namespace orvala::bench {
namespace {

namespace fs = std::filesystem;
using json::Json;

constexpr const char* kSecret = "bench-http-secret";

struct Options {
  fs::path work, server, table;
  int rows = 100'000;
  int reps = 5;
};

std::string Ms(double seconds) {
  std::ostringstream out;
  out.setf(std::ios::fixed);
  out.precision(1);
  out << seconds * 1e3 << " ms";
  return out.str();
}

// A loopback port that was free a moment ago.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    close(fd);
    throw Error("no free loopback port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

std::string Sql(int rows) {
  return "SELECT FIRST " + std::to_string(rows) +
         " * FROM MOVIMENTI_CONTABILI WHERE ID_DITTE = '00001' AND ID_ANNO = 2024";
}

Json Post(httplib::Client& client, const std::string& path, const Json& body,
          const char* accept = "application/json") {
  const auto result =
      client.Post(path, httplib::Headers{{"Accept", accept}}, body.dump(), "application/json");
  if (!result || result->status / 100 != 2) {
    throw Error(path + ": " + (result ? result->body : httplib::to_string(result.error())));
  }
  return std::string(accept) == "application/cbor" ? Json::from_cbor(result->body)
                                                   : Json::parse(result->body);
}

int Run(const Options& o) {
  const fs::path secret = o.work / "http-secret";
  std::ofstream(secret) << kSecret << "\n";
  chmod(secret.c_str(), 0600);
  const int port = FreePort();
  ServerChild server(o.server, o.work / "registry", o.work / "run-http",
                     {"--http", "127.0.0.1:" + std::to_string(port), "--secret-file",
                      secret.string()});
  const std::u16string provider = u"BenchHttp";
  const std::string sql = Sql(o.rows);

  // The socket: one remote object, its packet decoded.
  transport::ConnectOptions connect;
  connect.endpoint = server.endpoint();
  auto remote = transport::RemoteObject::Connect(connect);
  client::OrvalaProxy proxy(*remote);
  int32_t result = 1;
  proxy.OpenDB();
  proxy.AddProvider(provider, std::u16string(sql.begin(), sql.end()), result);
  if (result != 0) throw Error("AddProvider refused " + sql);
  auto socket_fetch = [&] {
    int32_t recs = 0;
    Variant params, owner, packet;
    if (Failed(proxy.AS_GetRecords(provider, -1, recs, 1, u"", params, owner, packet))) {
      throw Error("AS_GetRecords failed over the socket");
    }
    if (packets::DataPacketFromVariant(packet).rows.size() != static_cast<size_t>(o.rows)) {
      throw Error("the socket fetch missed rows");
    }
  };

  // HTTP: one object, the same provider.
  httplib::Client http("127.0.0.1", port);
  http.set_bearer_token_auth(kSecret);
  http.set_read_timeout(600, 0);
  const std::string id = Post(http, "/v1/objects", Json()).at("id").get<std::string>();
  const std::string calls = "/v1/objects/" + id + "/calls/";
  Post(http, calls + "OpenDB", Json::array());
  Post(http, calls + "AddProvider", Json::array({"BenchHttp", sql}));
  const Json fetch = Json::array({"BenchHttp", -1, 1});
  auto json_fetch = [&] {
    if (Post(http, calls + "AS_GetRecords", fetch).at("rows").size() !=
        static_cast<size_t>(o.rows)) {
      throw Error("the JSON fetch missed rows");
    }
  };
  auto cbor_fetch = [&] {
    const Json reply = Post(http, calls + "AS_GetRecords", fetch, "application/cbor");
    const auto& bytes = reply.at("result").get_binary();
    const Variant packet = Variant::Bytes(ByteArray(bytes.begin(), bytes.end()));
    if (packets::DataPacketFromVariant(packet).rows.size() != static_cast<size_t>(o.rows)) {
      throw Error("the CBOR fetch missed rows");
    }
  };

  // Interleaved, so that the machine's load weighs on each alike.
  std::vector<double> socket_times, json_times, cbor_times;
  socket_fetch();
  json_fetch();
  cbor_fetch();  // warms the caches
  for (int r = 0; r < o.reps; ++r) {
    socket_times.push_back(Time(socket_fetch));
    json_times.push_back(Time(json_fetch));
    cbor_times.push_back(Time(cbor_fetch));
  }
  const double socket_ms = Median(socket_times);
  const double json_ratio = Median(json_times) / socket_ms;
  const double cbor_ratio = Median(cbor_times) / socket_ms;
  std::ostringstream table;
  table.setf(std::ios::fixed);
  table.precision(2);
  const std::string what = std::to_string(o.rows) + "-row fetch over HTTP";
  table << "| Figure | Ours | Baseline | Ratio | Target | Met? |\n|---|---|---|---|---|---|\n";
  table << "| " << what << " (CBOR), median of " << o.reps << " | " << Ms(Median(cbor_times))
        << " | " << Ms(socket_ms) << " (socket) | " << cbor_ratio << "× | ≤ 1.3× | "
        << (cbor_ratio <= 1.3 ? "yes" : "**no**") << " |\n";
  table << "| " << what << " (JSON), median of " << o.reps << " | " << Ms(Median(json_times))
        << " | " << Ms(socket_ms) << " (socket) | " << json_ratio << "× | ≤ 3× | "
        << (json_ratio <= 3 ? "yes" : "**no**") << " |\n";
  std::cout << table.str();
  if (!o.table.empty()) std::ofstream(o.table) << table.str();
  http.Delete("/v1/objects/" + id);
  return 0;
}

}  // namespace
}  // namespace orvala::bench

int main(int argc, char** argv) {
  CLI::App app{"The fetch over the web transport against the local socket"};
  orvala::bench::Options o;
  app.add_option("--work", o.work, "The folder that orvala-bench filled")->required();
  app.add_option("--server", o.server, "The orvala-server program")->required();
  app.add_option("--rows", o.rows, "Rows to fetch")->check(CLI::PositiveNumber);
  app.add_option("--reps", o.reps, "Fetches measured of each kind")->check(CLI::PositiveNumber);
  app.add_option("--table", o.table, "Where to write the table too");
  CLI11_PARSE(app, argc, argv);
  try {
    return orvala::bench::Run(o);
  } catch (const orvala::Error& e) {
    std::cerr << "orvala-bench-http: " << e.message() << std::endl;
    return 1;
  }
}
