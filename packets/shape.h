// Checks that both encodings share: whether rows fit their fields and
// whether nesting stays within bounds. Encoders run them before writing,
// decoders after reading, so that no malformed packet leaves either.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "packets/packet.h"

namespace orvala::packets::shape {

// The widths of a field list, counted once per list rather than per row.
struct Widths {
  size_t plain = 0;
  size_t nested = 0;
  explicit Widths(const std::vector<Field>& fields)
      : plain(PlainFieldCount(fields)), nested(NestedFieldCount(fields)) {}
  Widths(size_t plain_count, size_t nested_count) : plain(plain_count), nested(nested_count) {}
};

// Fails with "Malformed packet: <what>".
[[noreturn]] void Fail(const std::string& what);

void CheckDepth(int depth);  // depth of nested tables, 0 at the top
void CheckFields(const std::vector<Field>& fields, int depth = 0);
void CheckTimestamp(const Timestamp& ts);

void CheckRow(const Row& row, const Widths& widths);
// A row given as its values and its nested tables' rows.
void CheckRow(size_t values, size_t details, const Widths& widths);
// Old and new values: one per plain field, or none at all.
void CheckRow(const DeltaRow& row, const Widths& widths);
// The failed row of an error row: plain fields only, no nested deltas, and
// values that fit those fields.
void CheckErrorRowShape(const ErrorRow& row);

// A slice without field descriptions still holds rows of one width.
void CheckSameWidth(const Row& row, const Row& first);

}  // namespace orvala::packets::shape
