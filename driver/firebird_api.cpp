#include "driver/firebird_api.h"

#include "common/error.h"
#include "driver/firebird_root.h"

namespace orvala::driver::fb {

Firebird::IMaster* Master() {
  static Firebird::IMaster* master = [] {
    EnsureFirebirdRoot();
    return Firebird::fb_get_master_interface();
  }();
  return master;
}

Firebird::IUtil* Util() { return Master()->getUtilInterface(); }

void ThrowFirebirdError(const Firebird::FbException& e) {
  char buffer[2048];
  const unsigned length = Util()->formatStatus(buffer, sizeof buffer, e.getStatus());
  std::string message(buffer, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  // The status vector opens with the code of the failure itself; the
  // codes after it only add detail.
  const intptr_t* errors = e.getStatus()->getErrors();
  const int32_t code =
      errors && errors[0] == isc_arg_gds ? static_cast<int32_t>(errors[1]) : 0;
  throw Error::FromDatabase(code, message.empty() ? "Database error" : message);
}

}  // namespace orvala::driver::fb
