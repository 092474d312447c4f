#include "server/frame.h"

#include "common/error.h"
#include "driver/params.h"

namespace orvala::server {
namespace {

using C = Catches;
using O = OnCaught;
using P = Preset;

const FrameRule kRules[] = {
    {"Login", false, P::Zero, C::AnyError, O::LogResultOne},
    {"Logoff", true, P::None, C::AnyError, O::LogResultOne},
    {"ScriviLOG", true, P::Zero, C::AnyError, O::ResultOne},
    {"CanDo", true, P::One, C::AnyError, O::ResultOne},
    // OpenDB absorbs what its connect step raises inside its own body.
    {"OpenDB", false, P::None, C::Nothing, O::Nothing},
    {"ExecSQL", false, P::Zero, C::Everything, O::ResultOne},
    {"CheckNumRegistrazione", true, P::One, C::AnyError, O::ResultOne},
    {"isLocked", true, P::One, C::AnyError, O::ResultOne},
    {"CheckNumDocumento", true, P::One, C::AnyError, O::ResultOne},
    {"ExistingDocumento", true, P::One, C::AnyError, O::ResultOne},
    {"setQuery", true, P::One, C::AnyError, O::ResultOne},
    {"CanDeleteCliente", true, P::One, C::AnyError, O::ResultOne},
    {"CanDeleteClienteDitta", true, P::One, C::AnyError, O::ResultOne},
    {"CanDeleteFornitori", true, P::One, C::AnyError, O::ResultOne},
    {"CheckClientiCF", true, P::One, C::AnyError, O::ResultOne},
    {"CheckFornitoriCF", true, P::One, C::AnyError, O::ResultOne},
    {"UpdatePianoProgressivo", false, P::None, C::AnyError, O::Nothing},
    {"UpdateIVAProgressivo", false, P::None, C::AnyError, O::Nothing},
    {"updateIVATERProgressivo", false, P::None, C::AnyError, O::Nothing},
    {"DeleteRegistrazione", false, P::None, C::AnyError, O::Nothing},
    {"UpdateHeader", false, P::None, C::AnyError, O::Nothing},
    {"ClearPrimaNota", false, P::None, C::Everything, O::Nothing},
    {"AddProvider", false, P::Zero, C::Everything, O::ResultOne},
    {"AddMasterProvider", false, P::Zero, C::Everything, O::ResultOne},
    {"AddDetailProvider", false, P::Zero, C::Everything, O::ResultOne},
    {"AddParameter", false, P::Zero, C::Everything, O::ResultOne},
    {"DestroyProvider", false, P::None, C::Nothing, O::Nothing},
    {"DestroyMasterProvider", false, P::None, C::Nothing, O::Nothing},
    {"Next_Sottoconto_Cliente", false, P::Empty, C::Everything, O::VariantOne},
    {"Next_Sottoconto_Fornitore", false, P::Empty, C::Everything, O::VariantOne},
    {"GetSession", false, P::None, C::Nothing, O::Nothing},
};

const FrameRule kProviderOperation = {"", false, P::None, C::Nothing, O::Nothing};

void ApplyPreset(Preset preset, Call& call) {
  switch (preset) {
    case Preset::None: break;
    case Preset::Zero: call.set_result(0); break;
    case Preset::One: call.set_result(1); break;
    case Preset::Empty: call.set_result(Variant()); break;
  }
}

}  // namespace

const FrameRule& RuleFor(std::string_view method_name) {
  for (const FrameRule& rule : kRules) {
    if (method_name == rule.method) return rule;
  }
  return kProviderOperation;
}

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
  outcome.result = call.result();
  return outcome;
}

}  // namespace orvala::server
