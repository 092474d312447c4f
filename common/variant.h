// The automation variant: the value type of remote-call arguments, of
// provider parameters and of packet fields.
//
// A Variant is a plain value. Distinct objects may be used from different
// threads; one object needs external synchronization like any std type.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace orvala {

// Type tags, numbered as automation numbers them so that they can travel
// on the wire unchanged.
enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  I2 = 2,
  I4 = 3,
  R8 = 5,
  Currency = 6,
  Date = 7,
  BStr = 8,
  Bool = 11,
  I8 = 20,
  StringArray = 0x2008,
  VariantArray = 0x200C,
  ByteArray = 0x2011,
};

const char* VarTypeName(VarType type);  // "I4", "BSTR", ...

// Fixed-point money: the amount times 10,000.
struct Currency {
  int64_t scaled = 0;
  friend bool operator==(Currency, Currency) = default;
};

// Days since 1899-12-30, the time of day as the fraction.
struct AutomationDate {
  double value = 0;
  friend bool operator==(AutomationDate, AutomationDate) = default;
};

class Variant;
using VariantArray = std::vector<Variant>;
using ByteArray = std::vector<uint8_t>;
using StringArray = std::vector<std::u16string>;

class Variant {
 public:
  Variant() = default;  // Empty
  static Variant Null() { Variant v; v.value_ = NullTag{}; return v; }
  static Variant I2(int16_t v) { return Variant(Storage(v)); }
  static Variant I4(int32_t v) { return Variant(Storage(v)); }
  static Variant I8(int64_t v) { return Variant(Storage(v)); }
  static Variant R8(double v) { return Variant(Storage(v)); }
  static Variant Bool(bool v) { return Variant(Storage(v)); }
  static Variant Money(Currency v) { return Variant(Storage(v)); }
  static Variant Date(AutomationDate v) { return Variant(Storage(v)); }
  static Variant Date(double v) { return Variant(Storage(AutomationDate{v})); }
  static Variant BStr(std::u16string v) { return Variant(Storage(std::move(v))); }
  static Variant Bytes(ByteArray v) { return Variant(Storage(std::move(v))); }
  static Variant Array(VariantArray v) { return Variant(Storage(std::move(v))); }
  static Variant Strings(StringArray v) { return Variant(Storage(std::move(v))); }

  VarType type() const;
  bool is_empty() const { return value_.index() == 0; }
  bool is_null() const { return value_.index() == 1; }
  bool is_empty_or_null() const { return value_.index() <= 1; }

  // Typed access; each fails with an Error naming both types when the
  // variant holds another type.
  int16_t i2() const;
  int32_t i4() const;
  int64_t i8() const;
  double r8() const;
  bool boolean() const;
  Currency currency() const;
  AutomationDate date() const;
  const std::u16string& bstr() const;
  const ByteArray& bytes() const;
  const VariantArray& array() const;
  const StringArray& strings() const;

  // Conversions as automation performs them between the scalar types:
  // numbers convert between each other (integers only when in range and
  // without fraction), Empty converts to 0. Fail with an Error otherwise.
  int32_t ToInt32() const;
  int64_t ToInt64() const;
  double ToDouble() const;

  friend bool operator==(const Variant&, const Variant&) = default;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) = default;
  };
  using Storage = std::variant<std::monostate, NullTag, int16_t, int32_t, int64_t, double, bool,
                               Currency, AutomationDate, std::u16string, ByteArray,
                               VariantArray, StringArray>;
  explicit Variant(Storage value) : value_(std::move(value)) {}
  template <typename T>
  const T& Get(VarType wanted) const;

  Storage value_;
};

}  // namespace orvala
