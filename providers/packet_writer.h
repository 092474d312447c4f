// Rows of an open query written into a data packet, with the rows of every
// detail query linked to it nested in each master row.
#pragma once

#include <functional>
#include <vector>

#include "driver/query.h"
#include "packets/packet.h"

namespace orvala::providers {

// The detail queries linked to a query, in the order they were linked.
using DetailsOf = std::function<std::vector<driver::Query*>(const driver::Query*)>;

// For as long as it lives, every parameter of a detail query that holds no
// value of its own takes the field of the same name (without regard to
// case) in the master query's current row; the detail's own parameters
// come back when it ends. A master without a current row gives nothing.
class MasterValues {
 public:
  MasterValues(driver::Query& detail, const driver::Query& master);
  ~MasterValues();
  MasterValues(const MasterValues&) = delete;
  MasterValues& operator=(const MasterValues&) = delete;

 private:
  driver::Query& detail_;
  driver::ParamList saved_;
};

packets::Field PacketField(const FieldInfo& info);

// The query's fields, then one nested field per linked detail, named by the
// detail query's component name.
std::vector<packets::Field> DescribeFields(driver::Query& query, const DetailsOf& details);

// Called once per row, while the query stands on it, with the rows of its
// details; it reads (or takes) the query's row.
using RowSink =
    std::function<void(driver::Query& query, std::vector<std::vector<packets::Row>>&& details)>;

// Writes up to `count` rows (-1: all) from the open query's current
// position; returns how many it wrote.
int32_t WriteRows(driver::Query& query, int32_t count, const DetailsOf& details,
                  const RowSink& sink);
int32_t WriteRows(driver::Query& query, int32_t count, const DetailsOf& details,
                  std::vector<packets::Row>& out);

}  // namespace orvala::providers
