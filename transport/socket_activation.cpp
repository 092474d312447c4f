#include "transport/socket_activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace orvala::transport {
namespace {

constexpr int kFirstPassedFd = 3;  // after standard input, output and error

std::optional<long> EnvNumber(const char* name) {
  const char* text = std::getenv(name);
  if (!text) return std::nullopt;
  const std::string_view view(text);
  long value = 0;
  const auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), value);
  if (ec != std::errc() || end != view.data() + view.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

std::vector<UniqueFd> TakeActivationSockets() {
  const std::optional<long> pid = EnvNumber("LISTEN_PID");
  const std::optional<long> count = EnvNumber("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  std::vector<UniqueFd> sockets;
  if (!pid || !count || *pid != getpid()) return sockets;
  for (long i = 0; i < *count; ++i) {
    const int fd = kFirstPassedFd + static_cast<int>(i);
    int listening = 0;
    socklen_t length = sizeof(listening);
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) {
      throw Error("Descriptor " + std::to_string(fd) +
                  " passed by the service manager is not a listening socket");
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    sockets.emplace_back(fd);
  }
  return sockets;
}

}  // namespace orvala::transport
