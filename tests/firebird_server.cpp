#include "tests/firebird_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/error.h"
#include "driver/administrator.h"

namespace orvala::testing {

using namespace std::chrono_literals;

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

bool FirebirdServerInstalled() {
  return std::filesystem::exists(kFirebirdProgram) && std::filesystem::exists(kSystemSecurityDatabase);
}

FirebirdServer::FirebirdServer(const std::filesystem::path& root, uint16_t port)
    : root_(root), port_(port != 0 ? port : FreeLoopbackPort()) {
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

std::vector<std::string> FirebirdServer::Environment() const {
  return {"FIREBIRD=" + root_.string(), "FIREBIRD_LOCK=" + (root_ / "lock").string()};
}

std::string FirebirdServer::Location(const std::filesystem::path& file) const {
  return "localhost/" + std::to_string(port_) + ":" + file.string();
}

void FirebirdServer::Start() {
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{kFirebirdProgram}, Environment(),
                                            root_ / "server.log");
  for (int i = 0; i < 300 && !Accepts(port_); ++i) std::this_thread::sleep_for(100ms);
  if (!Accepts(port_)) {
    std::ifstream log(root_ / "server.log");
    throw Error("the test's Firebird server did not start: " +
                std::string(std::istreambuf_iterator<char>(log), {}));
  }
}

void FirebirdServer::Stop() {
  process_->Kill(SIGKILL);
  process_->Wait();
  process_.reset();
}

}  // namespace orvala::testing
