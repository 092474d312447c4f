#include "json/variant_json.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "common/codepage.h"
#include "common/datetime.h"
#include "common/error.h"
#include "common/hex.h"
#include "common/utf8.h"

namespace orvala::json {
namespace {

constexpr int kCurrencyScale = 4;

Json Typed(const char* vt, Json value) {
  Json out = Json::object();
  out["vt"] = vt;
  out["value"] = std::move(value);
  return out;
}

Variant DateFromText(const Json& json) {
  if (!json.is_string()) throw Error("a date must be text such as \"2024-01-31T10:00:00\"");
  const std::optional<Timestamp> ts = ParseIso(json.get<std::string>());
  if (!ts) throw Error("'" + json.get<std::string>() + "' is not a date");
  return Variant::Date(ToAutomationDate(*ts));
}

int64_t IntegerOf(const Json& value, int64_t low, int64_t high) {
  if (!value.is_number_integer()) throw Error("expected an integer, got " + value.dump());
  if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(high)) {
    throw Error(value.dump() + " is out of range");
  }
  const int64_t n = value.get<int64_t>();
  if (n < low || n > high) throw Error(value.dump() + " is out of range");
  return n;
}

template <typename T>
int64_t IntegerOf(const Json& value) {
  return IntegerOf(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
}

std::u16string TextOf(const Json& value) {
  if (!value.is_string()) throw Error("expected text, got " + value.dump());
  return FromUtf8(value.get<std::string>());
}

Variant TypedFromJson(const std::string& vt, const Json& json) {
  const bool has_value = json.contains("value");
  const Json& value = has_value ? json.at("value") : json;
  if (vt == "EMPTY") return Variant();
  if (vt == "NULL") return Variant::Null();
  if (!has_value) throw Error("a variant of type " + vt + " needs a \"value\"");
  if (vt == "I2") return Variant::I2(static_cast<int16_t>(IntegerOf<int16_t>(value)));
  if (vt == "I4") return Variant::I4(static_cast<int32_t>(IntegerOf<int32_t>(value)));
  if (vt == "I8") return Variant::I8(IntegerOf<int64_t>(value));
  if (vt == "R8") {
    if (!value.is_number()) throw Error("expected a number, got " + value.dump());
    return Variant::R8(value.get<double>());
  }
  if (vt == "BOOL") {
    if (!value.is_boolean()) throw Error("expected true or false, got " + value.dump());
    return Variant::Bool(value.get<bool>());
  }
  if (vt == "CY") {
    if (value.is_string()) return Variant::Money({ParseScaled(value.get<std::string>(), kCurrencyScale)});
    if (value.is_number_integer()) return Variant::Money({IntegerOf<int64_t>(value) * 10000});
    if (value.is_number()) return Variant::Money({std::llround(value.get<double>() * 10000)});
    throw Error("expected an amount, got " + value.dump());
  }
  if (vt == "BSTR") return Variant::BStr(TextOf(value));
  if (vt == "DATE") return DateFromText(value);
  if (vt == "ARRAY|BSTR") {
    if (!value.is_array()) throw Error("expected an array of text");
    StringArray strings;
    for (const Json& s : value) strings.push_back(TextOf(s));
    return Variant::Strings(std::move(strings));
  }
  if (vt == "ARRAY|VARIANT") {
    if (!value.is_array()) throw Error("expected an array of variants");
    VariantArray items;
    for (const Json& v : value) items.push_back(VariantFromJson(v));
    return Variant::Array(std::move(items));
  }
  if (vt == "ARRAY|UI1") {
    if (!value.is_string()) throw Error("expected bytes in hexadecimal");
    const std::string bytes = BytesFromHex(value.get<std::string>());
    return Variant::Bytes(ByteArray(bytes.begin(), bytes.end()));
  }
  throw Error("unknown variant type '" + vt + "'");
}

}  // namespace

std::string StatusText(HResult status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
  return text;
}

std::string FormatScaled(int64_t scaled, int scale) {
  if (scale <= 0) return std::to_string(scaled);
  const bool negative = scaled < 0;
  // Through unsigned, so that the smallest 64-bit value has a magnitude.
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string digits = std::to_string(magnitude);
  if (digits.size() <= static_cast<size_t>(scale)) {
    digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
  }
  digits.insert(digits.size() - static_cast<size_t>(scale), ".");
  return negative ? "-" + digits : digits;
}

int64_t ParseScaled(std::string_view text, int scale) {
  const std::string original(text);
  auto bad = [&]() -> Error { return Error("'" + original + "' is not a decimal number"); };
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) throw bad();
  uint64_t magnitude = 0;
  int decimals = -1;
  bool any_digit = false;
  for (char c : text) {
    if (c == '.' && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (c < '0' || c > '9') throw bad();
    any_digit = true;
    if (decimals >= 0 && ++decimals > scale) {
      throw Error("'" + original + "' has more than " + std::to_string(scale) + " decimals");
    }
    if (magnitude > (std::numeric_limits<uint64_t>::max() - 9) / 10) throw Error("'" + original + "' is out of range");
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!any_digit) throw bad();
  for (int d = std::max(decimals, 0); d < scale; ++d) {
    if (magnitude > std::numeric_limits<uint64_t>::max() / 10) throw Error("'" + original + "' is out of range");
    magnitude *= 10;
  }
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
  if (magnitude > limit) throw Error("'" + original + "' is out of range");
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

std::string BytesFromHex(std::string_view hex) {
  for (char c : hex) {
    if (HexDigit(c) < 0) throw Error("'" + std::string(hex) + "' is not hexadecimal");
  }
  std::optional<std::string> bytes = FromHex(hex);
  if (!bytes) throw Error("'" + std::string(hex) + "' has an odd number of digits");
  return *std::move(bytes);
}

Json VariantToJson(const Variant& value) {
  switch (value.type()) {
    case VarType::Empty:
    case VarType::Null: {
      Json out = Json::object();
      out["vt"] = VarTypeName(value.type());
      return out;
    }
    case VarType::I2: return Typed("I2", value.i2());
    case VarType::I4: return Typed("I4", value.i4());
    case VarType::I8: return Typed("I8", value.i8());
    case VarType::R8: return Typed("R8", value.r8());
    case VarType::Bool: return Typed("BOOL", value.boolean());
    case VarType::Currency: return Typed("CY", FormatScaled(value.currency().scaled, kCurrencyScale));
    case VarType::Date: return Typed("DATE", FormatIso(FromAutomationDate(value.date().value)));
    case VarType::BStr: return Typed("BSTR", ToUtf8(value.bstr()));
    case VarType::StringArray: {
      Json items = Json::array();
      for (const std::u16string& s : value.strings()) items.push_back(ToUtf8(s));
      return Typed("ARRAY|BSTR", std::move(items));
    }
    case VarType::VariantArray: {
      Json items = Json::array();
      for (const Variant& v : value.array()) items.push_back(VariantToJson(v));
      return Typed("ARRAY|VARIANT", std::move(items));
    }
    case VarType::ByteArray: {
      const ByteArray& bytes = value.bytes();
      return Typed("ARRAY|UI1", ToHex(std::string(bytes.begin(), bytes.end())));
    }
  }
  throw Error("A variant of an unknown type");
}

Variant VariantFromJson(const Json& json) {
  if (json.is_null()) return Variant::Null();
  // A byte string of a CBOR body: a packet as it travels.
  if (json.is_binary()) return Variant::Bytes(ByteArray(json.get_binary().begin(), json.get_binary().end()));
  if (json.is_boolean()) return Variant::Bool(json.get<bool>());
  if (json.is_number_integer()) {
    if (json.is_number_unsigned() &&
        json.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      throw Error(json.dump() + " is out of range");
    }
    const int64_t n = json.get<int64_t>();
    if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max()) {
      return Variant::I4(static_cast<int32_t>(n));
    }
    return Variant::I8(n);
  }
  if (json.is_number()) return Variant::R8(json.get<double>());
  if (json.is_string()) return Variant::BStr(FromUtf8(json.get<std::string>()));
  if (json.is_array()) {
    VariantArray items;
    for (const Json& v : json) items.push_back(VariantFromJson(v));
    return Variant::Array(std::move(items));
  }
  if (json.is_object()) {
    if (json.size() == 1 && json.contains("date")) return DateFromText(json.at("date"));
    if (json.contains("vt")) {
      if (!json.at("vt").is_string()) throw Error("\"vt\" must name a variant type");
      for (const auto& [key, ignored] : json.items()) {
        if (key != "vt" && key != "value") throw Error("unexpected key \"" + key + "\" in a variant");
      }
      return TypedFromJson(json.at("vt").get<std::string>(), json);
    }
  }
  throw Error("not a variant: " + json.dump());
}

}  // namespace orvala::json
