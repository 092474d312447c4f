// Hive files can be edited by hand or damaged. The parser reads any bytes
// without crashing; a hive it accepts serializes to a text that parses to
// the same hive.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "registry/hive_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using orvala::registry::ParseHive;
  using orvala::registry::SerializeHive;
  std::string error;
  const auto hive = ParseHive(std::string_view(reinterpret_cast<const char*>(data), size), &error);
  if (!hive) {
    if (error.empty()) std::abort();
    return 0;
  }
  const std::string text = SerializeHive(*hive);
  const auto again = ParseHive(text, &error);
  if (!again || SerializeHive(*again) != text) std::abort();
  return 0;
}
