#include "tests/cluster.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "common/error.h"
#include "common/hex.h"
#include "common/unique_fd.h"
#include "transport/server_endpoint.h"

namespace orvala::testing {
namespace {

using namespace std::chrono_literals;

bool CanBind(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A run of `count` ports from which nothing listens, below the range from
// which the system picks the ports of outgoing connections.
uint16_t FreePortRun(int count) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> base(20'000, 30'000);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto first = static_cast<uint16_t>(base(random));
    bool free = true;
    for (int i = 0; i < count && free; ++i) free = CanBind(static_cast<uint16_t>(first + i));
    if (free) return first;
  }
  throw Error("no run of free loopback ports for the cluster");
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The stats page as CSV, one GET over loopback.
std::string StatsCsv(uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
  const std::string request = "GET /;csv HTTP/1.0\r\n\r\n";
  if (write(fd.get(), request.data(), request.size()) != static_cast<ssize_t>(request.size())) return "";
  std::string answer;
  char chunk[4096];
  for (ssize_t n; (n = read(fd.get(), chunk, sizeof chunk)) > 0;) answer.append(chunk, static_cast<size_t>(n));
  return answer;
}

}  // namespace

bool ClusterInstalled() {
  return FirebirdServerInstalled() && std::filesystem::exists(kHaproxyProgram);
}

Cluster::Cluster(const std::filesystem::path& dir, const std::filesystem::path& database,
                 const ClusterOptions& options)
    : dir_(dir),
      port_(options.port != 0 ? options.port : FreePortRun(options.servers + 3)),
      tls_(options.tls) {
  std::filesystem::create_directories(dir_);
  firebird_ = std::make_unique<FirebirdServer>(dir_ / "firebird", static_cast<uint16_t>(port_ + 1));
  firebird_->Start();
  location_ = firebird_->Location(database);

  // One secret for every app server: a client may land on any of them.
  std::random_device random;
  std::string bytes(32, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  secret_file_ = dir_ / "secret";
  {
    std::ofstream out(secret_file_, std::ios::trunc);
    out << ToHex(bytes) << "\n";
  }
  std::filesystem::permissions(secret_file_, std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::owner_write);
  secret_ = transport::ReadSecretFile(secret_file_);

  std::ostringstream config;
  config << "global\n"
         << "  maxconn 4096\n"
         << "defaults\n"
         << "  mode tcp\n"
         << "  timeout connect 2s\n"
         // A remote object's connection idles while its user thinks.
         << "  timeout client 8h\n"
         << "  timeout server 8h\n"
         // A connection to an app server that has just gone down tries
         // another one.
         << "  retries 3\n"
         << "  option redispatch\n"
         << "frontend orvala\n"
         << "  bind 127.0.0.1:" << port_ << "\n"
         << "  default_backend app\n"
         << "backend app\n"
         << "  balance leastconn\n"
         << "  default-server inter 500ms fall 2 rise 2\n";
  for (int i = 0; i < options.servers; ++i) {
    std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(server_port(i)),
                                  "--secret-file", secret_file_.string()};
    if (tls_) args.insert(args.end(), {"--tls-cert", tls_->cert.string(), "--tls-key", tls_->key.string()});
    const auto server_dir = dir_ / ("app" + std::to_string(i + 1));
    std::filesystem::create_directories(server_dir);
    servers_.push_back(std::make_unique<ServerProgram>(server_dir, location_, args));
    config << "  server app" << i + 1 << " 127.0.0.1:" << server_port(i) << " check\n";
  }
  config << "listen stats\n"
         << "  mode http\n"
         << "  bind 127.0.0.1:" << stats_port() << "\n"
         << "  stats enable\n"
         << "  stats uri /\n"
         << "  stats refresh 5s\n";
  std::ofstream(dir_ / "haproxy.cfg") << config.str();
  haproxy_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{kHaproxyProgram, "-db", "-f", (dir_ / "haproxy.cfg").string()},
      std::vector<std::string>{}, dir_ / "haproxy.log");
  if (!WaitForServersUp(options.servers, 30s)) {
    throw Error("HAProxy did not see the app servers up: " + ReadAll(dir_ / "haproxy.log"));
  }
}

Cluster::~Cluster() {
  haproxy_.reset();
  for (auto& server : servers_) {
    if (server->alive()) server->Stop();
  }
  servers_.clear();
  if (firebird_) firebird_->Stop();
}

transport::ConnectOptions Cluster::Through() const {
  transport::ConnectOptions options;
  options.endpoint = "127.0.0.1:" + std::to_string(port_);
  options.secret = secret_;
  if (tls_) {
    transport::TlsClientFiles files;
    files.ca = tls_->ca;
    options.tls = files;
  }
  return options;
}

transport::ConnectOptions Cluster::Direct(int i) const {
  transport::ConnectOptions options = Through();
  options.endpoint = "127.0.0.1:" + std::to_string(server_port(i));
  return options;
}

int Cluster::ServersUp() const {
  std::istringstream csv(StatsCsv(stats_port()));
  int up = 0;
  for (std::string line; std::getline(csv, line);) {
    // pxname,svname,...; the status is the eighteenth column.
    std::vector<std::string> columns;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) columns.push_back(cell);
    if (columns.size() > 17 && columns[0] == "app" && columns[1] != "BACKEND" &&
        columns[17].rfind("UP", 0) == 0) {
      ++up;
    }
  }
  return up;
}

bool Cluster::WaitForServersUp(int up, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ServersUp() != up) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

}  // namespace orvala::testing
