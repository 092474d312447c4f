// Mutexes that clang's thread-safety analysis understands, and the scoped
// lock that holds one. They are the standard mutexes underneath (and
// convert to them), so code that takes a std::mutex& or a
// std::recursive_mutex& still works; only code that locks through
// MutexLock tells the analysis what it holds.
#pragma once

#include <mutex>

#include "common/thread_annotations.h"

namespace orvala {

class CAPABILITY("mutex") Mutex : public std::mutex {
 public:
  void lock() ACQUIRE() { std::mutex::lock(); }
  void unlock() RELEASE() { std::mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::mutex::try_lock(); }
};

// The analysis does not model re-entry: a function that takes a recursive
// mutex must not be marked as requiring it, or its callers that hold it
// already would be told they lock it twice.
class CAPABILITY("mutex") RecursiveMutex : public std::recursive_mutex {
 public:
  void lock() ACQUIRE() { std::recursive_mutex::lock(); }
  void unlock() RELEASE() { std::recursive_mutex::unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return std::recursive_mutex::try_lock(); }
};

template <typename M>
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  M& mutex_;
};

}  // namespace orvala
