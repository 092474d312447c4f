// A Firebird server of a test's or a benchmark's own, on a loopback port of
// its own, with a configuration and security database of its own, so that
// it can be stopped and started again under a running orvala-server and
// never touches the machine's own Firebird service.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/fault_server.h"

namespace orvala::testing {

inline constexpr char kFirebirdProgram[] = "/usr/sbin/firebird";
inline constexpr char kFirebirdFiles[] = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
inline constexpr char kSystemSecurityDatabase[] = "/var/lib/firebird/3.0/system/security3.fdb";

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
uint16_t FreeLoopbackPort();
// Whether something accepts connections on 127.0.0.1:`port`.
bool Accepts(uint16_t port);
// Whether the Firebird server package is installed.
bool FirebirdServerInstalled();

// Its root links the system's files beside a configuration that names the
// port and a copy of the security database in which SYSDBA has the
// project's password.
class FirebirdServer {
 public:
  // `port` 0 takes any free one.
  explicit FirebirdServer(const std::filesystem::path& root, uint16_t port = 0);

  std::vector<std::string> Environment() const;
  uint16_t port() const { return port_; }
  // The location by which a client reaches `file` through this server.
  std::string Location(const std::filesystem::path& file) const;

  void Start();
  // Ends it the hard way, as a crash or a pulled cable would.
  void Stop();

 private:
  std::filesystem::path root_;
  uint16_t port_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace orvala::testing
