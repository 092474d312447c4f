#include "server/session_counter.h"

namespace orvala::server {

SessionCounter::SessionCounter(Clock clock) : clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return std::chrono::system_clock::now(); };
}

void SessionCounter::SeedFromClockLocked() {
  using namespace std::chrono;
  const auto now = clock_();
  const auto since_midnight = now - floor<days>(now);  // coordinated universal time
  const auto ms = duration_cast<milliseconds>(since_midnight).count();
  const uint64_t hours = static_cast<uint64_t>(ms / 3600000);
  const uint64_t minutes = static_cast<uint64_t>(ms / 60000 % 60);
  const uint64_t seconds = static_cast<uint64_t>(ms / 1000 % 60);
  const uint64_t millis = static_cast<uint64_t>(ms % 1000);
  state_ = static_cast<uint32_t>(((hours * 60 + minutes) * 60 + seconds) * 1000 + millis);
}

uint32_t SessionCounter::DrawLocked(uint32_t bound) {
  state_ = state_ * 134775813u + 1u;
  return static_cast<uint32_t>((static_cast<uint64_t>(bound) * state_) >> 32);
}

int32_t SessionCounter::NewSessionNumber() {
  MutexLock lock(mutex_);
  SeedFromClockLocked();
  ++count_;
  return static_cast<int32_t>(DrawLocked(1000) + count_);
}

void SessionCounter::ReleaseSession() {
  MutexLock lock(mutex_);
  --count_;
}

int32_t SessionCounter::count() const {
  MutexLock lock(mutex_);
  return static_cast<int32_t>(count_);
}

int32_t SessionCounter::DrawBelow(int32_t bound) {
  MutexLock lock(mutex_);
  SeedFromClockLocked();
  return static_cast<int32_t>(DrawLocked(static_cast<uint32_t>(bound)));
}

}  // namespace orvala::server
