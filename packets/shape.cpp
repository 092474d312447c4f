#include "packets/shape.h"

#include "common/error.h"
#include "packets/codec.h"

namespace orvala::packets::shape {

namespace {

void CheckCount(const char* what, size_t got, size_t want) {
  if (got != want) {
    Fail(std::string(what) + ": " + std::to_string(got) + " where the fields ask for " +
         std::to_string(want));
  }
}

}  // namespace

void Fail(const std::string& what) { throw Error("Malformed packet: " + what); }

void CheckDepth(int depth) {
  if (depth > kMaxNestingDepth) Fail("nested tables too deep");
}

void CheckFields(const std::vector<Field>& fields, int depth) {
  CheckDepth(depth);
  for (const Field& field : fields) {
    if (static_cast<int>(field.type) < 0 || field.type > FieldType::Boolean) {
      Fail("unknown field type");
    }
    if (field.is_nested()) CheckFields(field.children, depth + 1);
  }
}

void CheckTimestamp(const Timestamp& ts) {
  if (ts.time >= kTimeUnitsPerDay) Fail("time of day out of range");
}

void CheckRow(const Row& row, const Widths& widths) {
  CheckRow(row.values.size(), row.details.size(), widths);
}

void CheckRow(size_t values, size_t details, const Widths& widths) {
  CheckCount("row values", values, widths.plain);
  CheckCount("row details", details, widths.nested);
}

void CheckRow(const DeltaRow& row, const Widths& widths) {
  if (static_cast<uint8_t>(row.kind) > static_cast<uint8_t>(UpdateKind::Delete)) {
    Fail("unknown update kind");
  }
  if (!row.old_values.empty()) CheckCount("old values", row.old_values.size(), widths.plain);
  if (!row.new_values.empty()) CheckCount("new values", row.new_values.size(), widths.plain);
  if (!row.details.empty()) CheckCount("delta details", row.details.size(), widths.nested);
}

void CheckSameWidth(const Row& row, const Row& first) {
  CheckRow(row, Widths(first.values.size(), first.details.size()));
}

void CheckErrorRowShape(const ErrorRow& row) {
  CheckDepth(static_cast<int>(row.path.size()));
  for (const Field& f : row.fields) {
    if (f.is_nested()) Fail("nested field in an error row");
  }
  CheckFields(row.fields);
  if (!row.row) return;
  if (!row.row->details.empty()) Fail("nested deltas in an error row");
  CheckRow(*row.row, Widths(row.fields));
}

}  // namespace orvala::packets::shape
