// A typed registry value.
//
// Values carry the registry's types: text (REG_SZ), expandable text
// (REG_EXPAND_SZ), binary (REG_BINARY) and a 32-bit integer (REG_DWORD).
// Text is kept as UTF-8 bytes and may hold zero characters; whoever reads a
// text value as a string decides where it ends. Expandable text is never
// expanded here.
//
// A Value is a plain value type: const methods may be called from several
// threads without synchronization.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvala::registry {

enum class ValueType : uint32_t {
  kText = 1,        // REG_SZ
  kExpandText = 2,  // REG_EXPAND_SZ
  kBinary = 3,      // REG_BINARY
  kDword = 4,       // REG_DWORD
};

// "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD".
std::string_view ValueTypeName(ValueType type);

class Value {
 public:
  static Value Text(std::string text) { return Value(ValueType::kText, std::move(text)); }
  static Value ExpandText(std::string text) {
    return Value(ValueType::kExpandText, std::move(text));
  }
  static Value Binary(std::string bytes) { return Value(ValueType::kBinary, std::move(bytes)); }
  static Value Dword(uint32_t number);

  ValueType type() const { return type_; }
  bool is_text() const { return type_ == ValueType::kText || type_ == ValueType::kExpandText; }

  // The raw data: the text, the binary bytes, or a DWORD's four bytes in
  // little-endian order, as the registry stores them.
  const std::string& data() const { return data_; }

  // The number of a REG_DWORD value; 0 for any other type.
  uint32_t dword() const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  Value(ValueType type, std::string data) : type_(type), data_(std::move(data)) {}

  ValueType type_;
  std::string data_;
};

}  // namespace orvala::registry
