// Being started on demand by the service manager (systemd's socket
// activation): the listening sockets it opened are passed to the server
// as descriptors 3, 4, ... with LISTEN_FDS naming how many and LISTEN_PID
// naming the process they are meant for.
//
// Call once, early, from the main thread: it reads and clears the
// environment.
#pragma once

#include <vector>

#include "common/unique_fd.h"

namespace orvala::transport {

// The listening sockets passed to this process, now owned by the caller
// and closed on exec; empty when none were passed (or they were meant for
// another process). The variables are removed so that no program this one
// starts takes them for its own.
std::vector<UniqueFd> TakeActivationSockets();

}  // namespace orvala::transport
