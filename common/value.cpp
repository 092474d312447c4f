#include "common/value.h"

namespace orvala {

const char* FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::Unknown: return "Unknown";
    case FieldType::SmallInt: return "Smallint";
    case FieldType::Integer: return "Integer";
    case FieldType::BigInt: return "LargeInt";
    case FieldType::Double: return "Float";
    case FieldType::Timestamp: return "TimeStamp";
    case FieldType::String: return "String";
    case FieldType::Memo: return "Memo";
    case FieldType::Blob: return "Blob";
    case FieldType::Boolean: return "Boolean";
  }
  return "Unknown";
}

FieldType TypeOfValue(const Value& v) {
  static constexpr FieldType kByIndex[] = {
      FieldType::Unknown, FieldType::SmallInt,  FieldType::Integer, FieldType::BigInt,
      FieldType::Double,  FieldType::Timestamp, FieldType::String,  FieldType::Boolean};
  return kByIndex[v.index()];
}

}  // namespace orvala
