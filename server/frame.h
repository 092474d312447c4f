// The common frame of every remote method: the gate of the logged-in flag,
// the preset of the method result, which errors the method absorbs, and
// how an error that escapes becomes a failure status with error
// information.
//
// The per-method differences are data (FrameRule, carried by each entry of
// the interface table); RunFramed applies one rule around a method body.
#pragma once

#include <atomic>
#include <functional>

#include "server/call.h"
#include "server/frame_rule.h"

namespace orvala::server {

// Runs `body` inside `rule`. `log_error` writes the error entry for
// LogResultOne. Returns the outcome to hand back to the caller.
CallOutcome RunFramed(const FrameRule& rule, Call& call, const std::atomic<bool>& logged_in,
                      const std::function<void(Call&)>& body,
                      const std::function<void(Call&, const std::string&)>& log_error);

// The error information of an error that escapes a method.
CallOutcome FailureFromException(std::exception_ptr error);

}  // namespace orvala::server
