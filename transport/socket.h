// Stream sockets for the transport: addresses, listening, connecting, and a
// connected socket that moves whole frames.
//
// Every descriptor is opened close-on-exec, so a server that the client
// side starts never inherits them. Sends never raise SIGPIPE: a vanished
// peer is an ordinary failed write.
//
// A FrameSocket belongs to one thread at a time; Shutdown() alone may be
// called from another thread to wake a blocked read.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

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

// A listening TCP socket bound to `address` (port 0 picks a free port).
UniqueFd ListenTcp(const Address& address, int backlog);
// The port a socket is bound to.
uint16_t BoundPort(int fd);

class FrameSocket {
 public:
  explicit FrameSocket(UniqueFd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }

  enum class ReadResult {
    kFrame,     // `body` holds the next frame's body
    kClosed,    // the peer closed (or the socket was shut down) between frames
    kTruncated, // the stream ended inside a frame
    kTooLarge,  // the announced length exceeds the limit
    kEmpty,     // a frame of length zero
    kTimeout,   // the deadline passed
    kError,     // the socket failed
  };
  // Reads one frame of at most `max_frame_size` bytes. The body buffer
  // grows with the bytes that actually arrive, so a length prefix alone
  // never makes it allocate the announced size.
  ReadResult ReadFrame(std::vector<uint8_t>& body, size_t max_frame_size,
                       std::optional<std::chrono::steady_clock::time_point> deadline = {});

  // Writes all of `bytes`; false when the peer is gone.
  bool WriteAll(std::span<const uint8_t> bytes);

  // Ends both directions; a read blocked in another thread returns.
  void Shutdown();

 private:
  enum class Fill { kDone, kEof, kTimeout, kError };
  Fill ReadExactly(uint8_t* out, size_t count, size_t* got,
                   std::optional<std::chrono::steady_clock::time_point> deadline);

  UniqueFd fd_;
};

}  // namespace orvala::transport
