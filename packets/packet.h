// The content of the four packets that travel between the server and its
// clients: data packets (column descriptions and rows), delta packets (the
// client's changed rows), error packets (the delta rows that failed) and
// parameter packets.
//
// These are plain values. How they become bytes is codec.h's concern; the
// types here say only what a packet holds. Every string value, field name,
// origin, message and parameter name is kept as the single-byte bytes of
// the packet's code page, exactly as the database gave it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/value.h"

namespace orvala::packets {

// Provider flags of a delta field: which statements the field takes part in.
inline constexpr uint8_t kInUpdate = 1;
inline constexpr uint8_t kInWhere = 2;
inline constexpr uint8_t kInKey = 4;
inline constexpr uint8_t kHidden = 8;

// A column of a data or delta packet. A field with children is a nested
// table: the rows of a detail query linked to this packet's query.
struct Field {
  std::string name;  // letter case kept
  FieldType type = FieldType::Unknown;
  int size = 0;
  int scale = 0;
  bool required = false;
  std::string origin;  // "TABLE.COLUMN" as the database knows them, or ""
  uint8_t prov_flags = kInUpdate | kInWhere;  // meaningful in deltas
  bool server_calc = false;                   // meaningful in deltas
  std::vector<Field> children;

  bool is_nested() const { return !children.empty(); }
  friend bool operator==(const Field&, const Field&) = default;
};

// Counts of a field list's two kinds of columns; a row holds one value per
// plain field and one detail list per nested field, each in field order.
size_t PlainFieldCount(const std::vector<Field>& fields);
size_t NestedFieldCount(const std::vector<Field>& fields);

struct Row {
  std::vector<Value> values;
  std::vector<std::vector<Row>> details;
  friend bool operator==(const Row&, const Row&) = default;
};

struct DataPacket {
  std::string code_page = "WINDOWS-1252";
  // A slice that continues an earlier fetch may come without column
  // descriptions; its fields are then empty and its rows still complete.
  bool has_metadata = true;
  std::vector<Field> fields;
  std::vector<Row> rows;
  friend bool operator==(const DataPacket&, const DataPacket&) = default;
};

// Unmodified rows travel only as parents of changed detail rows.
enum class UpdateKind : uint8_t { Unmodified = 0, Modify = 1, Insert = 2, Delete = 3 };

struct DeltaRow {
  UpdateKind kind = UpdateKind::Unmodified;
  // Per plain field, or empty when the row has no old version (inserts).
  std::vector<Value> old_values;
  // Per plain field, or empty: nullopt is "not changed" (no new value),
  // while a held null Value is "set to null". The resolver must tell them
  // apart, so the two never collapse on the way.
  std::vector<std::optional<Value>> new_values;
  std::vector<std::vector<DeltaRow>> details;  // per nested field
  friend bool operator==(const DeltaRow&, const DeltaRow&) = default;
};

struct DeltaPacket {
  std::string code_page = "WINDOWS-1252";
  std::vector<Field> fields;
  std::vector<DeltaRow> rows;
  std::optional<std::string> table_name;  // overrides the table found in the SQL
  friend bool operator==(const DeltaPacket&, const DeltaPacket&) = default;
};

inline constexpr int32_t kResponseSkip = 1;
inline constexpr int32_t kResponseAbort = 2;

// One step from a row of the delta's top level down to a row of a nested
// delta: the parent row's record number within its list, and the nested
// field whose rows the next step (or the failed row) counts among.
struct ErrorStep {
  int32_t record_number = 0;
  std::string nested_field;
  friend bool operator==(const ErrorStep&, const ErrorStep&) = default;
};

struct ErrorRow {
  // Counted from 1 within the failed row's own list: the delta's top level,
  // or the nested delta that `path` leads to.
  int32_t record_number = 0;
  int32_t response = kResponseSkip;
  std::string message;
  std::string context;
  int32_t category = 1;
  // The database's own code of the failure (335544665 for a unique-key
  // violation); 0 for the resolver's own failures.
  int32_t error_code = 0;
  // Empty for a row of the top level; else the parents from the top down,
  // so that a client tells a detail row from the master row of its number.
  std::vector<ErrorStep> path = {};
  // The failed row as the delta carried it, without its nested deltas,
  // with the plain fields of its level: a client can show it and reconcile
  // it without matching by number. Both empty when not carried (packets
  // written before error rows had them).
  std::vector<Field> fields = {};
  std::optional<DeltaRow> row = {};
  friend bool operator==(const ErrorRow&, const ErrorRow&) = default;
};

struct ErrorPacket {
  std::string code_page = "WINDOWS-1252";
  std::vector<ErrorRow> rows;
  friend bool operator==(const ErrorPacket&, const ErrorPacket&) = default;
};

inline constexpr int32_t kParamInput = 1;
inline constexpr int32_t kParamOutput = 2;
inline constexpr int32_t kParamInputOutput = 3;
inline constexpr int32_t kParamResult = 4;

// The most decimal places that a NUMERIC or DECIMAL of the database holds.
inline constexpr int32_t kMaxParamScale = 18;

struct PacketParam {
  std::string name;
  Value value;
  FieldType data_type = FieldType::Unknown;  // Unknown: the parameter has no type yet
  int32_t param_type = kParamInput;
  // Decimal places of an integer value: a NUMERIC(15,2) amount of 200.50
  // travels as 20050 with scale 2, as a data packet's field describes it.
  int32_t scale = 0;  // 0 to kMaxParamScale
  friend bool operator==(const PacketParam&, const PacketParam&) = default;
};

struct ParamPacket {
  std::string code_page = "WINDOWS-1252";
  std::vector<PacketParam> params;
  friend bool operator==(const ParamPacket&, const ParamPacket&) = default;
};

}  // namespace orvala::packets
