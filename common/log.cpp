#include "common/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "common/mutex.h"

namespace orvala::log {
namespace {

std::atomic<Level> g_level{Level::kOff};
Mutex g_mutex;
std::string g_program GUARDED_BY(g_mutex);
bool g_journal GUARDED_BY(g_mutex) = false;

}  // namespace

std::optional<Level> ParseLevel(std::string_view text) {
  if (text == "info") return Level::kInfo;
  if (text == "debug") return Level::kDebug;
  return std::nullopt;
}

void Configure(Level level, std::string program) {
  MutexLock lock(g_mutex);
  g_program = std::move(program);
  g_journal = std::getenv("JOURNAL_STREAM") != nullptr;
  g_level = level;
}

bool Enabled(Level level) { return level != Level::kOff && level <= g_level.load(); }

void Write(Level level, std::string_view line) {
  if (!Enabled(level)) return;
  MutexLock lock(g_mutex);
  // <6> is syslog's "info", <7> its "debug".
  const char* priority = !g_journal ? "" : level == Level::kDebug ? "<7>" : "<6>";
  std::fprintf(stderr, "%s%s: %.*s\n", priority, g_program.c_str(), static_cast<int>(line.size()),
               line.data());
  std::fflush(stderr);
}

}  // namespace orvala::log
