#include "transport/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include <openssl/err.h>

#include "common/error.h"
#include "transport/wire.h"

namespace orvala::transport {
namespace {

// Bodies are read in steps of this size, so that memory follows the bytes
// that actually arrive.
constexpr size_t kReadStep = size_t{1} << 20;

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw Error(what + ": " + std::strerror(errno));
}

sockaddr_un UnixAddress(const std::filesystem::path& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof(addr.sun_path)) {
    throw Error("Socket path is empty or too long: " + text);
  }
  std::memcpy(addr.sun_path, text.c_str(), text.size() + 1);
  return addr;
}

uint16_t ParsePort(std::string_view text, std::string_view whole) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > 65535) {
    throw Error("Invalid port in address '" + std::string(whole) + "'");
  }
  return static_cast<uint16_t>(value);
}

struct AddrInfoList {
  addrinfo* head = nullptr;
  ~AddrInfoList() {
    if (head) freeaddrinfo(head);
  }
};

AddrInfoList Resolve(const Address& address, bool passive) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  AddrInfoList list;
  const std::string port = std::to_string(address.port);
  const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &list.head);
  if (rc != 0) {
    throw Error("Cannot resolve '" + address.host + "': " + gai_strerror(rc));
  }
  return list;
}

// Waits for a non-blocking connect to finish.
bool FinishConnect(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLOUT, 0};
  int rc;
  do {
    rc = poll(&p, 1, static_cast<int>(timeout.count()));
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) {
    errno = rc == 0 ? ETIMEDOUT : errno;
    return false;
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  errno = error;
  return error == 0;
}

void SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

std::string Address::ToString() const {
  if (kind == Kind::kUnix) return "unix:" + path.string();
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Address ParseTcpAddress(std::string_view text) {
  Address address;
  address.kind = Address::Kind::kTcp;
  std::string_view host;
  std::string_view port = text;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      throw Error("Invalid address '" + std::string(text) + "'");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      throw Error("Write an IPv6 address in brackets: '" + std::string(text) + "'");
    }
  }
  address.host = host.empty() ? "127.0.0.1" : std::string(host);
  address.port = ParsePort(port, text);
  return address;
}

Address ParseEndpoint(std::string_view text) {
  constexpr std::string_view kUnixPrefix = "unix:";
  if (text.starts_with(kUnixPrefix)) {
    Address address;
    address.path = std::string(text.substr(kUnixPrefix.size()));
    return address;
  }
  if (text.find('/') != std::string_view::npos) {
    Address address;
    address.path = std::string(text);
    return address;
  }
  return ParseTcpAddress(text);
}

UniqueFd Connect(const Address& address, std::chrono::milliseconds timeout) {
  if (address.kind == Address::Kind::kUnix) {
    const sockaddr_un addr = UnixAddress(address.path);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) ThrowErrno("Cannot create a socket");
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      ThrowErrno("Cannot connect to " + address.ToString());
    }
    return fd;
  }
  const AddrInfoList list = Resolve(address, false);
  std::string last_error = "no address";
  for (const addrinfo* ai = list.head; ai; ai = ai->ai_next) {
    UniqueFd fd(socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) continue;
    if (connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 ||
        (errno == EINPROGRESS && FinishConnect(fd.get(), timeout))) {
      SetBlocking(fd.get(), true);
      const int one = 1;
      setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      EnableKeepAlive(fd.get());
      return fd;
    }
    last_error = std::strerror(errno);
  }
  throw Error("Cannot connect to " + address.ToString() + ": " + last_error);
}

UniqueFd ListenUnix(const std::filesystem::path& path, unsigned mode, std::optional<unsigned> group,
                    int backlog) {
  std::filesystem::path staging = path;
  staging += ".new-" + std::to_string(getpid());
  const sockaddr_un addr = UnixAddress(staging);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) ThrowErrno("Cannot create a socket");
  ::unlink(staging.c_str());
  // The socket inode's mode becomes the file's mode at bind, so nobody
  // else can open the file even before the chmod below.
  fchmod(fd.get(), 0600);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    ThrowErrno("Cannot bind " + staging.string());
  }
  const auto cleanup_and_throw = [&](const std::string& what) {
    const int saved = errno;
    ::unlink(staging.c_str());
    errno = saved;
    ThrowErrno(what);
  };
  if (group && ::chown(staging.c_str(), static_cast<uid_t>(-1), static_cast<gid_t>(*group)) != 0) {
    cleanup_and_throw("Cannot give " + staging.string() + " to group " + std::to_string(*group));
  }
  if (::chmod(staging.c_str(), static_cast<mode_t>(mode)) != 0) {
    cleanup_and_throw("Cannot set the mode of " + staging.string());
  }
  if (listen(fd.get(), backlog) != 0) cleanup_and_throw("Cannot listen on " + staging.string());
  if (::rename(staging.c_str(), path.c_str()) != 0) {
    cleanup_and_throw("Cannot move the socket to " + path.string());
  }
  return fd;
}

bool IsLoopback(const Address& address) {
  if (address.kind != Address::Kind::kTcp) return true;
  const AddrInfoList list = Resolve(address, true);
  for (const addrinfo* ai = list.head; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      if ((ntohl(v4->sin_addr.s_addr) >> 24) != 127) return false;
    } else if (ai->ai_family == AF_INET6) {
      const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr;
      if (!IN6_IS_ADDR_LOOPBACK(&a) && !(IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127)) {
        return false;
      }
    } else {
      return false;
    }
  }
  return list.head != nullptr;
}

UniqueFd ListenTcp(const Address& address, int backlog) {
  const AddrInfoList list = Resolve(address, true);
  std::string last_error = "no address";
  for (const addrinfo* ai = list.head; ai; ai = ai->ai_next) {
    UniqueFd fd(socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) continue;
    const int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (bind(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd.get(), backlog) == 0) {
      return fd;
    }
    last_error = std::strerror(errno);
  }
  throw Error("Cannot listen on " + address.ToString() + ": " + last_error);
}

uint16_t BoundPort(int fd) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return 0;
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  }
  return 0;
}

bool WaitReady(int fd, short events, Deadline deadline) {
  for (;;) {
    int wait_ms = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      wait_ms = static_cast<int>(std::min<int64_t>(left.count(), 60'000));
    }
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, wait_ms);
    if (rc > 0) return true;  // ready, or hung up: the next read or write says which
    if (rc < 0 && errno != EINTR) return false;
  }
}

void EnableKeepAlive(int fd) {
  // Probes after a minute of silence, every 10 s, 6 times: a dead peer is
  // given up after about two minutes.
  const int on = 1, idle = 60, interval = 10, count = 6;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

FrameSocket::FrameSocket(UniqueFd fd) : fd_(std::move(fd)) {
  if (fd_.valid()) SetBlocking(fd_.get(), false);
}

ssize_t FrameSocket::ReadSome(uint8_t* out, size_t count, short* wait) {
  *wait = 0;
  if (ssl_) {
    size_t got = 0;
    const SigpipeHeld held;
    if (SSL_read_ex(ssl_.get(), out, count, &got) == 1) return static_cast<ssize_t>(got);
    switch (SSL_get_error(ssl_.get(), 0)) {
      case SSL_ERROR_WANT_READ: *wait = POLLIN; return -1;
      case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return -1;
      case SSL_ERROR_ZERO_RETURN: return 0;
      case SSL_ERROR_SSL: tls_error_ = TlsErrorText("TLS failed"); return 0;
      default:
        // A peer that closes without TLS's closing word, or a socket shut
        // down under us, ends the stream as a plain close does.
        ERR_clear_error();
        return 0;
    }
  }
  const ssize_t n = ::recv(fd_.get(), out, count, MSG_DONTWAIT);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    *wait = POLLIN;
    return -1;
  }
  return errno == ECONNRESET ? 0 : -1;
}

ssize_t FrameSocket::WriteSome(const uint8_t* bytes, size_t count, short* wait) {
  *wait = 0;
  if (ssl_) {
    size_t sent = 0;
    const SigpipeHeld held;
    if (SSL_write_ex(ssl_.get(), bytes, count, &sent) == 1) return static_cast<ssize_t>(sent);
    switch (SSL_get_error(ssl_.get(), 0)) {
      case SSL_ERROR_WANT_READ: *wait = POLLIN; return -1;
      case SSL_ERROR_WANT_WRITE: *wait = POLLOUT; return -1;
      default: ERR_clear_error(); return -1;
    }
  }
  const ssize_t n = ::send(fd_.get(), bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) *wait = POLLOUT;
  return -1;
}

FrameSocket::Fill FrameSocket::ReadExactly(uint8_t* out, size_t count, size_t* got,
                                           Deadline deadline) {
  *got = 0;
  while (*got < count) {
    short wait = 0;
    const ssize_t n = ReadSome(out + *got, count - *got, &wait);
    if (n > 0) {
      *got += static_cast<size_t>(n);
    } else if (n == 0) {
      return Fill::kEof;
    } else if (wait == 0) {
      return Fill::kError;
    } else if (!WaitReady(fd_.get(), wait, deadline)) {
      return Fill::kTimeout;
    }
  }
  return Fill::kDone;
}

FrameSocket::ReadResult FrameSocket::ReadFrame(
    std::vector<uint8_t>& body, size_t max_frame_size, Deadline deadline,
    std::optional<std::chrono::milliseconds> frame_timeout) {
  body.clear();
  const auto to_result = [](Fill fill, bool started) {
    switch (fill) {
      case Fill::kDone: return ReadResult::kFrame;
      case Fill::kEof: return started ? ReadResult::kTruncated : ReadResult::kClosed;
      case Fill::kTimeout: return ReadResult::kTimeout;
      case Fill::kError: break;
    }
    return ReadResult::kError;
  };
  uint8_t prefix[wire::kLengthPrefixSize];
  size_t got = 0;
  // The first byte may be as late as the caller allows; from there on the
  // frame's own deadline runs too.
  if (const Fill first = ReadExactly(prefix, 1, &got, deadline); first != Fill::kDone) {
    return to_result(first, false);
  }
  if (frame_timeout) {
    const auto frame_deadline = std::chrono::steady_clock::now() + *frame_timeout;
    if (!deadline || frame_deadline < *deadline) deadline = frame_deadline;
  }
  if (const Fill rest = ReadExactly(prefix + 1, sizeof(prefix) - 1, &got, deadline);
      rest != Fill::kDone) {
    return to_result(rest, true);
  }
  const uint32_t length = wire::ReadLengthPrefix(std::span<const uint8_t, 4>(prefix));
  if (length == 0) return ReadResult::kEmpty;
  if (length > max_frame_size) return ReadResult::kTooLarge;
  // The body's size is known now: one allocation when it is small, steps
  // that follow the bytes that arrive when it is large.
  body.reserve(std::min<size_t>(length, kReadStep));
  while (body.size() < length) {
    const size_t at = body.size();
    const size_t step = std::min<size_t>(kReadStep, length - at);
    if (at + step > body.capacity()) body.reserve(std::min<size_t>(length, 2 * body.capacity()));
    body.resize(at + step);
    if (const Fill fill = ReadExactly(body.data() + at, step, &got, deadline); fill != Fill::kDone) {
      return to_result(fill, true);
    }
  }
  return ReadResult::kFrame;
}

bool FrameSocket::WriteAll(std::span<const uint8_t> bytes, Deadline deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    short wait = 0;
    const ssize_t n = WriteSome(bytes.data() + sent, bytes.size() - sent, &wait);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (wait == 0 || !WaitReady(fd_.get(), wait, deadline)) {
      return false;
    }
  }
  return true;
}

void FrameSocket::Shutdown() { ::shutdown(fd_.get(), SHUT_RDWR); }

}  // namespace orvala::transport
