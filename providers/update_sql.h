// The SQL statement that applies one delta row: an UPDATE, INSERT or
// DELETE whose WHERE clause compares every usable column with its old
// value, since no query knows a key.
#pragma once

#include <string>
#include <vector>

#include "common/value.h"
#include "packets/packet.h"

namespace orvala::providers {

struct UpdateStatement {
  std::string sql;            // lines each ended by CR LF
  std::vector<Value> params;  // in the order of the statement's "?" marks
  std::vector<FieldType> types;
  std::vector<int> scales;    // the decimal places of each parameter's field

  // The next "?" takes `value`, bound as `field` describes it.
  void Add(Value value, const packets::Field& field) {
    params.push_back(std::move(value));
    types.push_back(field.type);
    scales.push_back(field.scale);
  }
};

// Fails with "Unable to find record.  No key specified" when no column can
// serve in the WHERE clause of an update or delete.
UpdateStatement BuildUpdateStatement(packets::UpdateKind kind,
                                     const std::vector<packets::Field>& fields,
                                     const packets::DeltaRow& row, const std::string& quoted_table,
                                     const std::string& quote);

// "select * from" the table, with the same WHERE clause: how a row is found
// again to hand back its BLOB values.
UpdateStatement BuildRowSelect(const std::vector<packets::Field>& fields,
                               const packets::DeltaRow& row, const std::string& quoted_table,
                               const std::string& quote);

}  // namespace orvala::providers
