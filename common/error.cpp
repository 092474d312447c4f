#include "common/error.h"

namespace orvala {

std::string Format(const std::string& pattern, const std::string& argument) {
  const size_t at = pattern.find("%s");
  if (at == std::string::npos) return pattern;
  return pattern.substr(0, at) + argument + pattern.substr(at + 2);
}

}  // namespace orvala
