// The session count and the clock-seeded pseudo-random generator that the
// main window keeps for the whole process.
//
// Thread safety: shared by every remote object's thread; the count and the
// generator's state sit behind one mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "common/mutex.h"

namespace orvala::server {

class SessionCounter {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // Without a clock the system clock is used; tests fix the time of day.
  explicit SessionCounter(Clock clock = {});

  // Re-seeds the generator from the time of day, counts one session more
  // and returns a random number below 1000 plus the new count.
  int32_t NewSessionNumber();
  // Counts one session less, whether or not the object asked for a number.
  void ReleaseSession();
  int32_t count() const;

  // Re-seeds from the clock and draws one number below `bound`: the suffix
  // of a run-time provider's query name.
  int32_t DrawBelow(int32_t bound);

 private:
  void SeedFromClockLocked() REQUIRES(mutex_);
  uint32_t DrawLocked(uint32_t bound) REQUIRES(mutex_);

  mutable Mutex mutex_;
  Clock clock_;  // set once, before any thread sees the counter
  uint32_t state_ GUARDED_BY(mutex_) = 0;
  // Kept unsigned so that wrapping is defined; read as int32.
  uint32_t count_ GUARDED_BY(mutex_) = 0;
};

}  // namespace orvala::server
