#include "server/frame.h"

#include "common/error.h"

namespace orvala::server {
namespace {

void ApplyPreset(Preset preset, Call& call) {
  switch (preset) {
    case Preset::None: break;
    case Preset::Zero: call.set_result(0); break;
    case Preset::One: call.set_result(1); break;
    case Preset::Empty: call.set_result(Variant()); break;
  }
}

}  // namespace

CallOutcome FailureFromException(std::exception_ptr error) {
  CallOutcome outcome;
  outcome.status = E_UNEXPECTED;
  ErrorInfo info;
  info.iid = Library().iid;
  info.source = Library().prog_id;
  try {
    std::rethrow_exception(error);
  } catch (const Error& e) {
    if (Failed(e.status())) outcome.status = e.status();
    info.description = e.message();
    info.help_context = e.help_context();
  } catch (const std::exception& e) {
    info.description = e.what();
  } catch (...) {
  }
  outcome.error = std::move(info);
  return outcome;
}

CallOutcome RunFramed(const FrameRule& rule, Call& call, const std::atomic<bool>& logged_in,
                      const std::function<void(Call&)>& body,
                      const std::function<void(Call&, const std::string&)>& log_error) {
  CallOutcome outcome;
  if (rule.gated && !logged_in.load()) return outcome;  // S_OK, nothing written
  try {
    ApplyPreset(rule.preset, call);
    auto handle = [&](const std::string& message) {
      switch (rule.on_caught) {
        case OnCaught::Nothing: break;
        case OnCaught::ResultOne: call.set_result(1); break;
        case OnCaught::VariantOne: call.set_result(Variant::I4(1)); break;
        case OnCaught::LogResultOne:
          log_error(call, message);
          call.set_result(1);
          break;
      }
    };
    switch (rule.catches) {
      case Catches::Nothing:
        body(call);
        break;
      case Catches::AnyError:
        try {
          body(call);
        } catch (const Error& e) {
          handle(e.message());
        }
        break;
      case Catches::Everything:
        try {
          body(call);
        } catch (const Error& e) {
          handle(e.message());
        } catch (const std::exception& e) {
          handle(e.what());
        } catch (...) {
          handle("");
        }
        break;
    }
  } catch (...) {
    return FailureFromException(std::current_exception());
  }
  outcome.result = call.TakeResult();
  return outcome;
}

}  // namespace orvala::server
