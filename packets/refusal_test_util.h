// For the tables of malformed input: why a decoder or an encoder refuses.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "common/error.h"

namespace orvala::test {

using Decoder = std::function<void(std::span<const uint8_t>)>;

// The message of the orvala::Error that the attempt raises, without the
// place ("at byte 17", "at offset 40") that the readers add, so that a case
// names its reason and survives a change in the bytes before it;
// "(no error)" when the attempt succeeds.
inline std::string Refusal(const std::function<void()>& attempt) {
  try {
    attempt();
  } catch (const Error& e) {
    std::string message = e.message();
    for (const char* place : {" at byte ", " at offset "}) {
      const size_t at = message.rfind(place);
      if (at == std::string::npos) continue;
      const size_t digits = at + std::char_traits<char>::length(place);
      if (digits < message.size() &&
          message.find_first_not_of("0123456789", digits) == std::string::npos) {
        message.resize(at);
        break;
      }
    }
    return message;
  }
  return "(no error)";
}

// Why the decoder refuses the bytes, as above.
inline std::string Refusal(const Decoder& decode, std::span<const uint8_t> bytes) {
  return Refusal([&] { decode(bytes); });
}

}  // namespace orvala::test
