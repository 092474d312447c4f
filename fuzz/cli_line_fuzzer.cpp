// orvala-cli reads its call lines from files and pipes. Any line either
// holds no call, is a call with one slot per interface argument, or is
// refused with an orvala::Error.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "client/cli_parser.h"
#include "common/error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const auto call =
        orvala::client::ParseCallLine(std::string_view(reinterpret_cast<const char*>(data), size));
    if (call && (call->method == nullptr || call->args.size() != call->method->args.size())) {
      std::abort();
    }
    if (call && call->delta_arg && *call->delta_arg >= call->args.size()) std::abort();
  } catch (const orvala::Error&) {
  }
  return 0;
}
