// The one seam to the Firebird client: its master interface, the owner
// type for its interfaces and the call helper that turns its failures into
// the server's error type. The driver uses it, and so does the
// administration window, which attaches on its own.
#pragma once

#include <firebird/Interface.h>

#include <string>
#include <utility>

#include "driver/firebird_owned.h"

namespace orvala::driver::fb {

Firebird::IMaster* Master();
Firebird::IUtil* Util();

using Status = Firebird::ThrowStatusWrapper;

// Raises an orvala::Error carrying Firebird's own message text and code.
[[noreturn]] void ThrowFirebirdError(const Firebird::FbException& e);

// Runs f with a fresh throwing status; a Firebird failure inside becomes an
// orvala::Error, so nothing above the driver sees Firebird's types.
// CallWith reuses a status object that the caller keeps, for a call made
// row after row, where making a fresh one each time would cost an
// allocation per row.
template <typename F>
auto CallWith(Firebird::IStatus* kept, F&& f) -> decltype(f(std::declval<Status&>())) {
  kept->init();
  Status status(kept);
  try {
    return f(status);
  } catch (const Firebird::FbException& e) {
    ThrowFirebirdError(e);
  }
}

template <typename F>
auto Call(F&& f) -> decltype(f(std::declval<Status&>())) {
  const Owned<Firebird::IStatus> raw = Own(Master()->getStatus());
  return CallWith(raw.get(), std::forward<F>(f));
}

// Runs f and swallows any failure: for releasing handles while another
// error is already on its way, or while closing for good.
template <typename F>
void CallQuietly(F&& f) noexcept {
  try {
    Call(std::forward<F>(f));
  } catch (...) {
  }
}

}  // namespace orvala::driver::fb
