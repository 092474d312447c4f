// The server's diagnostic log: one line on standard error per event an
// operator needs (what journalctl shows for the service). It is not the
// application log, which the database keeps.
//
// Off until the program sets a level. At info: the start, listeners,
// connections accepted and refused, objects created and released, the
// end. At debug: every call and its status as well.
//
// Thread-safe: lines from several threads never interleave.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvala::log {

enum class Level { kOff = 0, kInfo = 1, kDebug = 2 };

// "info" or "debug"; nullopt for anything else.
std::optional<Level> ParseLevel(std::string_view text);

// `program` prefixes every line ("orvala-server: ...").
void Configure(Level level, std::string program);
bool Enabled(Level level);

// Writes one line when `level` is enabled. Under systemd (JOURNAL_STREAM
// set) the line starts with its syslog priority, which the journal reads.
void Write(Level level, std::string_view line);
inline void Info(std::string_view line) { Write(Level::kInfo, line); }
inline void Debug(std::string_view line) { Write(Level::kDebug, line); }

}  // namespace orvala::log
