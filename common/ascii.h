// Letter case of ASCII names. SQL identifiers, parameter names, provider
// names and the interface's method names all compare without regard to
// ASCII case, byte for byte otherwise: a single-byte string in any code
// page keeps its other bytes untouched.
#pragma once

#include <string>
#include <string_view>

namespace orvala {

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToUpperAscii(std::string_view s);

}  // namespace orvala
