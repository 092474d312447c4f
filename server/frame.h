// The common frame of every remote method: the gate of the logged-in flag,
// the preset of the method result, which errors the method absorbs, and
// how an error that escapes becomes a failure status with error
// information.
//
// The per-method differences are data (FrameRule); RunFramed applies one
// rule around a method body.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>

#include "server/call.h"

namespace orvala::server {

enum class Preset { None, Zero, One, Empty };
// AnyError: errors of the system's error type; Everything: any raised object.
enum class Catches { Nothing, AnyError, Everything };
enum class OnCaught {
  Nothing,       // nothing reported, result as it stands
  ResultOne,     // method result 1
  VariantOne,    // the returned variant becomes I4 1
  LogResultOne,  // an error entry in the application log, then method result 1
};

struct FrameRule {
  const char* method;
  bool gated;
  Preset preset;
  Catches catches;
  OnCaught on_caught;
};

// The rule of a method; the provider operations have no gate, no preset and
// catch nothing.
const FrameRule& RuleFor(std::string_view method_name);

// Runs `body` inside `rule`. `log_error` writes the error entry for
// LogResultOne. Returns the outcome to hand back to the caller.
CallOutcome RunFramed(const FrameRule& rule, Call& call, const std::atomic<bool>& logged_in,
                      const std::function<void(Call&)>& body,
                      const std::function<void(Call&, const std::string&)>& log_error);

// The error information of an error that escapes a method.
CallOutcome FailureFromException(std::exception_ptr error);

}  // namespace orvala::server
