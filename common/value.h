// Values as the database gives them and takes them, and the descriptions
// of the fields that hold them.
//
// A field value keeps exactly what Firebird returned: integers at their
// width, doubles bit for bit, timestamps at 100-microsecond precision and
// strings as the database's single-byte bytes. The update resolver later
// compares these values with the stored rows, so nothing may be rounded on
// the way.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "common/datetime.h"

namespace orvala {

enum class FieldType {
  Unknown,    // a parameter that has no type yet
  SmallInt,
  Integer,
  BigInt,     // also NUMERIC/DECIMAL, with the field's scale
  Double,     // FLOAT and DOUBLE PRECISION
  Timestamp,  // also DATE and TIME
  String,     // CHAR and VARCHAR
  Memo,       // BLOB SUB_TYPE TEXT
  Blob,       // any other BLOB
  Boolean,
};

const char* FieldTypeName(FieldType type);  // "Integer", "String", ...

using Value = std::variant<std::monostate, int16_t, int32_t, int64_t, double, Timestamp,
                           std::string, bool>;

inline bool IsNull(const Value& v) { return v.index() == 0; }

// The kind of value a field type holds, for binding a typed parameter.
FieldType TypeOfValue(const Value& v);

struct FieldInfo {
  std::string name;      // the column's alias as the result names it
  FieldType type = FieldType::Unknown;
  int size = 0;          // characters for strings; bytes otherwise
  int scale = 0;         // for NUMERIC held as BigInt
  bool required = false; // NOT NULL
  std::string relation;  // origin table, empty for expressions
  std::string origin;    // origin column, empty for expressions
};

}  // namespace orvala
