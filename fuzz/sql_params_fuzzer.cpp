// Client SQL reaches the placeholder scanner as it was typed. Whatever the
// text, the scanner returns one name per "?" marker it wrote and keeps
// every byte outside the placeholders.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "driver/sql_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  const auto parsed = orvala::driver::ParseSqlParams(sql);
  // Each named placeholder (":" and at least one name byte) becomes one "?".
  if (parsed.text.size() > sql.size()) std::abort();
  const auto markers = std::count(parsed.text.begin(), parsed.text.end(), '?');
  if (static_cast<size_t>(markers) < parsed.names.size()) std::abort();
  for (const auto& name : parsed.names) {
    if (name.size() > sql.size()) std::abort();
  }
  return 0;
}
