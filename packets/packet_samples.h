// Small packets for the tests: every value type, a nested table, a nested
// delta, strings with high bytes, embedded zeros and control characters.
#pragma once

#include <bit>
#include <cmath>
#include <string>

#include "packets/packet.h"

namespace orvala::packets::samples {

using namespace std::string_literals;

inline Field Plain(std::string name, FieldType type, int size = 0) {
  Field f;
  f.name = std::move(name);
  f.type = type;
  f.size = size;
  return f;
}

// Strings that XML cannot carry as text, or that are easy to damage.
inline const std::string kAwkward = "a\0b\x80\x81\xFF\r\n\x01 <&>\"'"s;
inline const std::string kAccented = "caff\xE8 \x80 \xA3";  // "caffè € £" in Windows-1252

inline std::vector<Field> LineFields() {
  return {Plain("LINE_NO", FieldType::SmallInt), Plain("AMOUNT", FieldType::Double),
          Plain("NOTE", FieldType::String, 40)};
}

inline std::vector<Field> HeaderFields() {
  Field id = Plain("ID", FieldType::Integer);
  id.required = true;
  id.origin = "DOC_HEAD.ID";
  id.prov_flags = kInUpdate | kInWhere | kInKey;
  Field big = Plain("Total", FieldType::BigInt);  // letter case kept
  big.scale = 2;
  Field when = Plain("WHEN", FieldType::Timestamp);
  when.server_calc = true;
  Field flag = Plain("FLAG", FieldType::Boolean);
  flag.prov_flags = kHidden;
  Field lines;
  lines.name = "qLines4711";
  lines.children = LineFields();
  Field memo = Plain("MEMO", FieldType::Memo);
  memo.origin = "DOC_HEAD.MEMO";
  return {id, big, when, flag, lines, memo};
}

inline Row Line(int16_t no, double amount, Value note) { return Row{{no, amount, note}, {}}; }

inline DataPacket Data() {
  DataPacket p;
  p.fields = HeaderFields();
  p.rows.push_back(Row{{int32_t{1}, int64_t{123456789012345}, Timestamp{60000, 12345678}, true,
                        kAccented},
                       {{Line(1, 0.1 + 0.2, "x"s), Line(2, -0.0, Value{})}}});
  p.rows.push_back(Row{{int32_t{-2}, Value{}, Value{}, false, kAwkward}, {{}}});
  // A value whose type is not its field's own still comes back as it went.
  p.rows.push_back(Row{{int16_t{7}, 1.5, "text"s, int64_t{-1}, ""s}, {{Line(3, 1e308, "  "s)}}});
  return p;
}

inline DeltaPacket Delta() {
  DeltaPacket p;
  p.fields = HeaderFields();
  p.table_name = "DOC_HEAD";
  DeltaRow modify;
  modify.kind = UpdateKind::Modify;
  modify.old_values = {int32_t{1}, int64_t{100}, Timestamp{60000, 1}, true, kAwkward};
  modify.new_values = {std::nullopt, Value{}, Timestamp{60001, 0}, std::nullopt, kAccented};
  DeltaRow line_insert;
  line_insert.kind = UpdateKind::Insert;
  line_insert.new_values = {int16_t{3}, 2.5, std::nullopt};
  DeltaRow line_delete;
  line_delete.kind = UpdateKind::Delete;
  line_delete.old_values = {int16_t{1}, 0.1 + 0.2, "x"s};
  modify.details = {{line_insert, line_delete}};
  DeltaRow parent;  // carried only for its changed lines
  parent.kind = UpdateKind::Unmodified;
  parent.old_values = {int32_t{2}, Value{}, Value{}, false, ""s};
  parent.details = {{line_delete}};
  DeltaRow insert;
  insert.kind = UpdateKind::Insert;
  insert.new_values = {int32_t{3}, std::nullopt, std::nullopt, Value{}, "new"s};
  p.rows = {modify, parent, insert};
  return p;
}

inline ErrorPacket Errors() {
  ErrorPacket p;
  p.rows.push_back({1, kResponseSkip, "Record not found or changed by another user", "", 1, 0});
  p.rows.push_back({4, kResponseAbort, "violation of PRIMARY or UNIQUE KEY\nPK_X " + kAccented,
                    kAwkward, 1, 335544665});
  // A detail row of a nested delta, with the values it failed with.
  ErrorRow detail{2, kResponseSkip, "Record not found or changed by another user", "", 1, 0};
  detail.path = {{3, "qLines4711"}, {1, kAccented}};
  Field id;
  id.name = "ID";
  id.type = FieldType::Integer;
  Field amount;
  amount.name = "AMOUNT";
  amount.type = FieldType::BigInt;
  amount.scale = 2;
  detail.fields = {id, amount};
  DeltaRow failed;
  failed.kind = UpdateKind::Modify;
  failed.old_values = {int32_t{7}, int64_t{-20050}};
  failed.new_values = {std::nullopt, Value{}};
  detail.row = failed;
  p.rows.push_back(detail);
  return p;
}

inline ParamPacket Params() {
  ParamPacket p;
  p.params.push_back({"ID", int32_t{42}, FieldType::Integer, kParamInput});
  p.params.push_back({"NAME", kAccented, FieldType::String, kParamInput});
  p.params.push_back({"UNTYPED", Value{}, FieldType::Unknown, kParamInput});
  p.params.push_back({"WHEN", Timestamp{-678575, 863999999}, FieldType::Timestamp, kParamInputOutput});
  p.params.push_back({"RATE", 0.1, FieldType::Double, kParamOutput});
  p.params.push_back({"SMALL", int16_t{-32768}, FieldType::SmallInt, kParamResult});
  p.params.push_back({"BIG", int64_t{INT64_MIN}, FieldType::BigInt, kParamInput});
  p.params.push_back({"OK", true, FieldType::Boolean, kParamInput});
  p.params.push_back({"AMOUNT", int64_t{-20050}, FieldType::BigInt, kParamInput, 2});
  p.params.push_back({"RATE4", int64_t{123456}, FieldType::BigInt, kParamOutput, kMaxParamScale});
  return p;
}

inline uint64_t Bits(double d) { return std::bit_cast<uint64_t>(d); }

}  // namespace orvala::packets::samples
