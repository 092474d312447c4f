// The limits an operator sets on what one listener accepts: how many
// connections, how large a frame or a reply may be, and how long a peer may
// take. The server program reads them from its options; every listener of
// the server holds the same values.
//
// A plain value: copied freely, read from any thread.
#pragma once

#include <chrono>
#include <cstddef>

namespace orvala::transport {

struct Limits {
  // Signed-in connections (those that said hello) served at once by each
  // listener; one more is told "busy" in answer to its hello.
  size_t max_connections = 64;
  // Connections that have not said hello yet, per listener: a waiting room
  // of their own. When it is full, the connection that has waited longest
  // makes room for the newcomer, so that peers who never say hello cannot
  // keep out one that does.
  size_t max_pending = 64;
  // The largest request frame, and the largest frame a reply travels in.
  size_t max_frame_size = size_t{64} << 20;
  // The largest reply; a larger one travels in parts of at most
  // max_frame_size each.
  size_t max_reply_size = size_t{1} << 30;
  // Time a new connection has, from its accept, to say hello.
  std::chrono::milliseconds hello_timeout{10'000};
  // Time a frame has, from its first byte, to arrive whole; also the time
  // a reply frame may take to leave. A connection idle between frames is
  // never cut for that.
  std::chrono::milliseconds frame_timeout{30'000};
};

}  // namespace orvala::transport
