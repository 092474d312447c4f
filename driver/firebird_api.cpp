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
  throw Error(message.empty() ? "Database error" : message);
}

}  // namespace orvala::driver::fb
