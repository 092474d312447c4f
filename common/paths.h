// The folders of the server's own state on this machine.
#pragma once

#include <filesystem>

namespace orvala {

// The folder where per-user runtime state lives (the local socket, the
// embedded engine's root): ORVALA_RUNTIME_DIR, else
// $XDG_RUNTIME_DIR/orvala, else /tmp/orvala-<uid>. Created when missing;
// fails with an Error when another user owns it.
std::filesystem::path RuntimeDir();

}  // namespace orvala
