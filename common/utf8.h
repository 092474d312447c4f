// UTF-8, the encoding of the command line, JSON, XML, the hive files and
// the text strings of CBOR frames, and its conversion to and from the
// UTF-16 of the interface's texts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvala {

// The length of the well-formed UTF-8 sequence at the start of `bytes` (1
// for ASCII), or 0 when it does not start with one: empty, a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF, or
// cut short.
size_t Utf8SequenceLength(std::string_view bytes);
bool IsUtf8(std::string_view text);

// A lone surrogate, which has no UTF-8 form, becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Fails with "Invalid UTF-8 text" on malformed UTF-8.
std::u16string FromUtf8(std::string_view text);

}  // namespace orvala
