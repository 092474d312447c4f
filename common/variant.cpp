#include "common/variant.h"

#include <cmath>
#include <limits>

#include "common/error.h"

namespace orvala {

const char* VarTypeName(VarType type) {
  switch (type) {
    case VarType::Empty: return "EMPTY";
    case VarType::Null: return "NULL";
    case VarType::I2: return "I2";
    case VarType::I4: return "I4";
    case VarType::R8: return "R8";
    case VarType::Currency: return "CY";
    case VarType::Date: return "DATE";
    case VarType::BStr: return "BSTR";
    case VarType::Bool: return "BOOL";
    case VarType::I8: return "I8";
    case VarType::StringArray: return "ARRAY|BSTR";
    case VarType::VariantArray: return "ARRAY|VARIANT";
    case VarType::ByteArray: return "ARRAY|UI1";
  }
  return "UNKNOWN";
}

VarType Variant::type() const {
  static constexpr VarType kByIndex[] = {
      VarType::Empty, VarType::Null, VarType::I2,       VarType::I4,
      VarType::I8,    VarType::R8,   VarType::Bool,     VarType::Currency,
      VarType::Date,  VarType::BStr, VarType::ByteArray, VarType::VariantArray,
      VarType::StringArray};
  return kByIndex[value_.index()];
}

template <typename T>
const T& Variant::Get(VarType wanted) const {
  if (const T* held = std::get_if<T>(&value_)) return *held;
  throw Error(std::string("Variant of type ") + VarTypeName(type()) + " is not of type " +
              VarTypeName(wanted));
}

int16_t Variant::i2() const { return Get<int16_t>(VarType::I2); }
int32_t Variant::i4() const { return Get<int32_t>(VarType::I4); }
int64_t Variant::i8() const { return Get<int64_t>(VarType::I8); }
double Variant::r8() const { return Get<double>(VarType::R8); }
bool Variant::boolean() const { return Get<bool>(VarType::Bool); }
Currency Variant::currency() const { return Get<Currency>(VarType::Currency); }
AutomationDate Variant::date() const { return Get<AutomationDate>(VarType::Date); }
const std::u16string& Variant::bstr() const { return Get<std::u16string>(VarType::BStr); }
const ByteArray& Variant::bytes() const { return Get<ByteArray>(VarType::ByteArray); }
const VariantArray& Variant::array() const { return Get<VariantArray>(VarType::VariantArray); }
const StringArray& Variant::strings() const { return Get<StringArray>(VarType::StringArray); }

namespace {

[[noreturn]] void CannotConvert(VarType from, const char* to) {
  throw Error(std::string("Could not convert variant of type (") + VarTypeName(from) +
              ") into type (" + to + ")");
}

template <typename Int>
Int DoubleToInt(double value, VarType from, const char* to) {
  if (!std::isfinite(value) || value != std::nearbyint(value) ||
      value < static_cast<double>(std::numeric_limits<Int>::min()) ||
      value >= -static_cast<double>(std::numeric_limits<Int>::min())) {
    CannotConvert(from, to);
  }
  return static_cast<Int>(value);
}

}  // namespace

int64_t Variant::ToInt64() const {
  switch (type()) {
    case VarType::Empty: return 0;
    case VarType::I2: return i2();
    case VarType::I4: return i4();
    case VarType::I8: return i8();
    case VarType::Bool: return boolean() ? -1 : 0;
    case VarType::R8: return DoubleToInt<int64_t>(r8(), type(), "I8");
    case VarType::Date: return DoubleToInt<int64_t>(date().value, type(), "I8");
    case VarType::Currency:
      if (currency().scaled % 10000 != 0) CannotConvert(type(), "I8");
      return currency().scaled / 10000;
    default: CannotConvert(type(), "I8");
  }
}

int32_t Variant::ToInt32() const {
  const int64_t wide = ToInt64();
  if (wide < std::numeric_limits<int32_t>::min() || wide > std::numeric_limits<int32_t>::max()) {
    CannotConvert(type(), "I4");
  }
  return static_cast<int32_t>(wide);
}

double Variant::ToDouble() const {
  switch (type()) {
    case VarType::Empty: return 0;
    case VarType::I2: return i2();
    case VarType::I4: return i4();
    case VarType::I8: return static_cast<double>(i8());
    case VarType::Bool: return boolean() ? -1 : 0;
    case VarType::R8: return r8();
    case VarType::Date: return date().value;
    case VarType::Currency: return static_cast<double>(currency().scaled) / 10000.0;
    default: CannotConvert(type(), "R8");
  }
}

}  // namespace orvala
