#include "providers/field_binding.h"

namespace orvala::providers {

void BindFieldValue(driver::Param& param, const Value& value, FieldType type, int scale) {
  param.data_type = FieldType::Unknown;
  if (IsNull(value)) {
    param.SetNull(type == FieldType::Unknown ? FieldType::String : type);
    return;
  }
  const bool integer = std::holds_alternative<int16_t>(value) ||
                       std::holds_alternative<int32_t>(value) ||
                       std::holds_alternative<int64_t>(value);
  param.Set(value, integer ? scale : 0);
}

}  // namespace orvala::providers
