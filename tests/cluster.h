// Several app servers in front of one Firebird server, on one machine and
// on loopback addresses only: a Firebird SuperServer of the cluster's own
// holding the database, N orvala-server processes listening on TCP with
// the shared secret, and HAProxy in TCP mode before them with health
// checks and a stats page. scripts/cluster, the cluster test and the
// sizing measurements all start it through this one class.
//
// Ports: HAProxy on `port`, Firebird on port + 1, the app servers on
// port + 2 ... port + 1 + N, the stats page on port + 2 + N.
//
// Thread safety: the connect options and ports may be read from any
// thread; starting, killing and stopping are the owner's, one at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/fault_server.h"
#include "tests/firebird_server.h"
#include "transport/client_connection.h"
#include "transport/tls.h"

namespace orvala::testing {

inline constexpr char kHaproxyProgram[] = "/usr/sbin/haproxy";

// Whether HAProxy and the Firebird server are installed.
bool ClusterInstalled();

// TLS on the app servers' listeners: their certificate and key, and the
// authority that clients check the certificate against. HAProxy passes
// the encrypted bytes through.
struct ClusterTls {
  std::filesystem::path cert, key, ca;
};

struct ClusterOptions {
  int servers = 2;
  uint16_t port = 0;  // HAProxy's; 0: a free one, and free ones for the rest
  std::optional<ClusterTls> tls;  // plain TCP when not given
};

class Cluster {
 public:
  // Starts everything inside `dir` over `database` (a file on this
  // machine, served through the cluster's Firebird server), and returns
  // when HAProxy sees every app server up. Throws Error when a part does
  // not start.
  Cluster(const std::filesystem::path& dir, const std::filesystem::path& database,
          const ClusterOptions& options = {});
  // Stops HAProxy, the app servers, then Firebird.
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  FirebirdServer& firebird() { return *firebird_; }
  // The location by which the app servers reach the database.
  const std::string& location() const { return location_; }
  int servers() const { return static_cast<int>(servers_.size()); }
  ServerProgram& server(int i) { return *servers_.at(i); }
  uint16_t port() const { return port_; }
  uint16_t server_port(int i) const { return static_cast<uint16_t>(port_ + 2 + i); }
  uint16_t stats_port() const { return static_cast<uint16_t>(port_ + 2 + servers()); }
  const std::filesystem::path& secret_file() const { return secret_file_; }

  // A client's options through HAProxy, and straight to app server `i`.
  transport::ConnectOptions Through() const;
  transport::ConnectOptions Direct(int i) const;

  // How many app servers HAProxy's health checks see up, from its stats.
  int ServersUp() const;
  // Waits until exactly `up` are up; false after `timeout`.
  bool WaitForServersUp(int up, std::chrono::milliseconds timeout) const;

 private:
  std::filesystem::path dir_;
  uint16_t port_;
  std::string location_;
  std::filesystem::path secret_file_;
  std::string secret_;
  std::optional<ClusterTls> tls_;
  std::unique_ptr<FirebirdServer> firebird_;
  std::vector<std::unique_ptr<ServerProgram>> servers_;
  std::unique_ptr<ChildProcess> haproxy_;
};

}  // namespace orvala::testing
