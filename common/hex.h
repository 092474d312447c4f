// Bytes as hexadecimal digits, two a byte: how bytes that are no text
// travel in XML packets, the CLI's JSON and the hive files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvala {

// Lower-case digits.
std::string ToHex(std::string_view bytes);
void AppendHexByte(std::string& out, unsigned char byte);
// The value of one digit of either letter case, or -1.
int HexDigit(char c);
// The bytes that `hex` spells; nullopt when its length is odd or it holds
// anything but hex digits.
std::optional<std::string> FromHex(std::string_view hex);

}  // namespace orvala
