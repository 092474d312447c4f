#include "bench/raw_echo.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "bench/stats.h"
#include "common/error.h"

namespace orvala::bench {
namespace {

bool ReadExactly(int fd, unsigned char* at, size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, at, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteExactly(int fd, const unsigned char* at, size_t n) {
  while (n > 0) {
    const ssize_t put = send(fd, at, n, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    at += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

std::vector<double> RawEchoRoundTrips(size_t request, size_t reply, int calls) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw Error("socketpair failed");
  const pid_t child = fork();
  if (child < 0) throw Error("fork failed");
  if (child == 0) {
    close(fds[0]);
    std::vector<unsigned char> in(request), out(reply, 0x5a);
    while (ReadExactly(fds[1], in.data(), in.size()) && WriteExactly(fds[1], out.data(), out.size())) {
    }
    _exit(0);
  }
  close(fds[1]);
  std::vector<unsigned char> out(request, 0xa5), in(reply);
  std::vector<double> times;
  times.reserve(static_cast<size_t>(calls));
  for (int i = 0; i < calls; ++i) {
    const Clock::time_point start = Clock::now();
    if (!WriteExactly(fds[0], out.data(), out.size()) || !ReadExactly(fds[0], in.data(), in.size())) {
      break;
    }
    times.push_back(SecondsSince(start));
  }
  close(fds[0]);
  waitpid(child, nullptr, 0);
  if (times.size() != static_cast<size_t>(calls)) throw Error("The echo process stopped answering");
  return times;
}

}  // namespace orvala::bench
