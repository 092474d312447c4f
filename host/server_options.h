// The server program's command line: the start-mode switches ("-Embedding",
// "/regserver", ...) and the operator's options.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/registration.h"

namespace orvala::host {

struct ServerOptions {
  StartMode mode = StartMode::ByHand;
  bool headless = false;                  // --headless, or no display
  std::optional<std::string> listen;      // --listen ADDR:PORT (TCP, off by default)
  std::optional<std::string> secret_file; // --secret-file FILE (required with --listen)
  std::optional<std::string> socket_group;  // --socket-group GROUP (mode 0660)
  bool show_location = false;             // --show-location: print it and whether it answers
  std::optional<std::string> set_location;  // --set-location PATH: store it and end
  bool help = false;
};

// Fails with an Error naming the argument it cannot take.
ServerOptions ParseServerOptions(int argc, const char* const argv[]);

const char* ServerUsage();

}  // namespace orvala::host
