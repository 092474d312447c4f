#include "registry/value.h"

namespace orvala::registry {

std::string_view ValueTypeName(ValueType type) {
  switch (type) {
    case ValueType::kText: return "REG_SZ";
    case ValueType::kExpandText: return "REG_EXPAND_SZ";
    case ValueType::kBinary: return "REG_BINARY";
    case ValueType::kDword: return "REG_DWORD";
  }
  return "REG_NONE";
}

Value Value::Dword(uint32_t number) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xff);
  return Value(ValueType::kDword, std::move(bytes));
}

uint32_t Value::dword() const {
  if (type_ != ValueType::kDword) return 0;
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(data_[i]);
  return number;
}

}  // namespace orvala::registry
