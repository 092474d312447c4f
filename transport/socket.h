// Stream sockets for the transport: addresses, listening, connecting, and a
// connected socket that moves whole frames.
//
// Every descriptor is opened close-on-exec, so a server that the client
// side starts never inherits them. Sends never raise SIGPIPE: a vanished
// peer is an ordinary failed write.
//
// A FrameSocket belongs to one thread at a time; Shutdown() alone may be
// called from another thread to wake a blocked read or write.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "common/unique_fd.h"
#include "transport/tls.h"

namespace orvala::transport {


// Where an endpoint listens or a client connects: a local socket path, or
// a TCP host and port.
struct Address {
  enum class Kind { kUnix, kTcp };
  Kind kind = Kind::kUnix;
  std::filesystem::path path;  // kUnix
  std::string host;            // kTcp; a numeric address or a name
  uint16_t port = 0;           // kTcp

  std::string ToString() const;
};

// "ADDR:PORT", "[v6]:PORT", ":PORT" or "PORT"; a missing address is the
// loopback address 127.0.0.1. Throws Error on anything else.
Address ParseTcpAddress(std::string_view text);

// A client's endpoint text: "unix:PATH", any text with a "/" (a path), or
// a TCP address as ParseTcpAddress takes it.
Address ParseEndpoint(std::string_view text);

// Connects, waiting at most `timeout` for a TCP connect. Throws Error.
UniqueFd Connect(const Address& address, std::chrono::milliseconds timeout);

// A listening local socket at `path`, with permission bits `mode` and,
// when given, group `group`. The socket is bound under a temporary name,
// given its permissions and only then renamed into place, so no client
// ever reaches it with wider rights; an older file at `path` is replaced
// (the caller makes sure that no live server owns it).
UniqueFd ListenUnix(const std::filesystem::path& path, unsigned mode, std::optional<unsigned> group,
                    int backlog);

// Whether every address that `address` names is a loopback address
// (127.0.0.0/8, ::1), so that nothing it carries leaves the machine.
bool IsLoopback(const Address& address);

// A listening TCP socket bound to `address` (port 0 picks a free port).
UniqueFd ListenTcp(const Address& address, int backlog);
// The port a socket is bound to.
uint16_t BoundPort(int fd);

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), or forever
// without a deadline; false when the deadline passed or poll failed.
bool WaitReady(int fd, short events,
               std::optional<std::chrono::steady_clock::time_point> deadline);

// Turns on TCP keepalive, so that a peer that vanished without a word (a
// machine switched off, a cable pulled) is noticed within minutes even on
// a connection that is idle between calls.
void EnableKeepAlive(int fd);

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

class FrameSocket {
 public:
  // Takes a connected socket and makes it non-blocking: every wait is a
  // poll with the caller's deadline.
  explicit FrameSocket(UniqueFd fd);

  int fd() const { return fd_.get(); }

  // From here on, bytes travel through this TLS session (its handshake
  // done on fd()).
  void UseTls(SslSession ssl) { ssl_ = std::move(ssl); }
  bool tls() const { return ssl_ != nullptr; }

  enum class ReadResult {
    kFrame,     // `body` holds the next frame's body
    kClosed,    // the peer closed (or the socket was shut down) between frames
    kTruncated, // the stream ended inside a frame
    kTooLarge,  // the announced length exceeds the limit
    kEmpty,     // a frame of length zero
    kTimeout,   // the deadline passed
    kError,     // the socket failed
  };
  // Reads one frame of at most `max_frame_size` bytes. `deadline` bounds
  // the whole read; `frame_timeout`, when given, bounds the time from the
  // frame's first byte to its last, so that a peer may be silent between
  // frames as long as it likes but cannot dribble one. The body buffer
  // grows with the bytes that actually arrive, so a length prefix alone
  // never makes it allocate the announced size.
  ReadResult ReadFrame(std::vector<uint8_t>& body, size_t max_frame_size, Deadline deadline = {},
                       std::optional<std::chrono::milliseconds> frame_timeout = {});

  // Writes all of `bytes` by `deadline`; false when the peer is gone or
  // the deadline passed.
  bool WriteAll(std::span<const uint8_t> bytes, Deadline deadline = {});

  // Ends both directions; a read blocked in another thread returns.
  void Shutdown();

  // Why TLS failed on the last read, as OpenSSL said (empty when it did
  // not): a peer's refusal (a missing client certificate) arrives so.
  const std::string& tls_error() const { return tls_error_; }

 private:
  enum class Fill { kDone, kEof, kTimeout, kError };
  Fill ReadExactly(uint8_t* out, size_t count, size_t* got, Deadline deadline);
  // One read or write of at most `count` bytes: the count moved, 0 at the
  // end of the stream, or -1 with `*wait` set to what to poll for (0: the
  // socket failed).
  ssize_t ReadSome(uint8_t* out, size_t count, short* wait);
  ssize_t WriteSome(const uint8_t* bytes, size_t count, short* wait);

  UniqueFd fd_;
  SslSession ssl_;  // declared after fd_: freed before the socket closes
  std::string tls_error_;
};

}  // namespace orvala::transport
