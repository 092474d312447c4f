// Globally unique identifiers of the interface, the class and the library.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvala {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // "{85BF87D6-FB51-4EFC-AA81-C5372C09FC14}": braces, upper case.
  std::string ToString() const;
  // Accepts the text form with or without braces, in any letter case.
  static std::optional<Guid> Parse(std::string_view text);

  friend bool operator==(const Guid&, const Guid&) = default;
};

}  // namespace orvala
