// The parameter list of a query: one entry per placeholder of its SQL, in
// text order, each with a data type, a value and a null flag.
#pragma once

#include <string>
#include <vector>

#include "common/value.h"

namespace orvala::driver {

enum class ParamDirection { Input, Output, InputOutput, Result, Unknown };

struct Param {
  std::string name;
  FieldType data_type = FieldType::Unknown;  // Unknown: no value given yet
  ParamDirection direction = ParamDirection::Input;
  Value value;                               // monostate with a type: NULL
  // Decimal places of an integer value: a NUMERIC(15,2) amount of 200.50
  // travels as 20050 with scale 2, exactly as a fetch hands it out. Without
  // it the database would take 20050 for the amount itself.
  int scale = 0;
  bool bound = false;                        // a value was assigned

  bool is_null() const { return IsNull(value); }
  void Set(Value v, int decimal_places = 0) {
    if (data_type == FieldType::Unknown) data_type = TypeOfValue(v);
    value = std::move(v);
    scale = decimal_places;
    bound = true;
  }
  void SetNull(FieldType type) {
    if (data_type == FieldType::Unknown) data_type = type;
    value = std::monostate{};
    scale = 0;
    bound = true;
  }
};

class ParamList {
 public:
  ParamList() = default;
  explicit ParamList(std::vector<Param> params) : params_(std::move(params)) {}

  size_t size() const { return params_.size(); }
  bool empty() const { return params_.empty(); }
  Param& operator[](size_t i) { return params_[i]; }
  const Param& operator[](size_t i) const { return params_[i]; }
  auto begin() { return params_.begin(); }
  auto end() { return params_.end(); }
  auto begin() const { return params_.begin(); }
  auto end() const { return params_.end(); }

  // First parameter of that name, compared without regard to ASCII case;
  // nullptr when there is none.
  Param* Find(std::string_view name);
  const Param* Find(std::string_view name) const;
  // As Find, failing with "Parameter '%s' not found".
  Param& ByName(std::string_view name);

  // Assigns every parameter of that name (a name may stand at several
  // placeholders). Fails with "Parameter '%s' not found".
  void SetByName(std::string_view name, Value v);

 private:
  std::vector<Param> params_;
};

}  // namespace orvala::driver
