// The update resolver: applies a client's delta to the database inside one
// transaction, row by row, counting failures against the client's limit.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/connection.h"
#include "driver/query.h"
#include "packets/packet.h"

namespace orvala::providers {

// What a per-row hook did with a row.
enum class HookOutcome {
  Applied,      // written; the resolver goes on with the next row
  Declined,     // not taken: the resolver builds and runs its own statement
  RowNotFound,  // the row was changed or deleted meanwhile: the row fails
};

// A per-row hook that may apply a row itself, on the given transaction.
using UpdateHook = std::function<HookOutcome(const std::vector<packets::Field>& fields,
                                             const packets::DeltaRow& row,
                                             packets::UpdateKind kind, driver::Transaction& tx)>;

// What the resolver writes to: a query's table, with the detail queries
// that nested deltas go to.
struct ResolveTarget {
  driver::Query* query = nullptr;
  UpdateHook hook;
  // The detail query of a nested field, by the field's name; nullptr when
  // there is none.
  std::function<driver::Query*(const std::string& field_name)> detail;
};

struct ApplyResult {
  packets::ErrorPacket errors;
  int32_t error_count = 0;
};

// Fails as a whole ("Missing DataSet property", a connection that cannot
// open) only before the first row; row failures go into the error packet.
ApplyResult ApplyDelta(const ResolveTarget& target, const packets::DeltaPacket& delta,
                       int32_t max_errors);

}  // namespace orvala::providers
