// The baseline of a remote call: the same byte counts, sent and answered
// over the same kind of socket by a process that does nothing else.
#pragma once

#include <cstddef>
#include <vector>

namespace orvala::bench {

// Forks an echo process joined by a local stream socket; for each of
// `calls` round trips the parent writes `request` bytes and reads `reply`
// bytes. Returns the time of each round trip, in seconds.
std::vector<double> RawEchoRoundTrips(size_t request, size_t reply, int calls);

}  // namespace orvala::bench
