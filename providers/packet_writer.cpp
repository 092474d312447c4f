#include "providers/packet_writer.h"

#include "providers/field_binding.h"

namespace orvala::providers {
namespace {

// Re-runs a detail for the master's current row, and closes it again.
class DetailRun {
 public:
  DetailRun(driver::Query& detail, const driver::Query& master)
      : detail_(detail), values_(detail, master) {
    detail.Close();
    detail.Open();
  }
  // Closed before values_ gives the detail its own parameters back.
  ~DetailRun() { detail_.Close(); }

 private:
  driver::Query& detail_;
  MasterValues values_;
};

}  // namespace

MasterValues::MasterValues(driver::Query& detail, const driver::Query& master)
    : detail_(detail), saved_(detail.params()) {
  for (driver::Param& p : detail.params()) {
    if (p.bound) continue;
    const int field = master.FieldIndex(p.name);
    if (field < 0 || static_cast<size_t>(field) >= master.row().size()) continue;
    const FieldInfo& info = master.fields()[static_cast<size_t>(field)];
    BindFieldValue(p, master.row()[static_cast<size_t>(field)], info.type, info.scale);
  }
}

MasterValues::~MasterValues() { detail_.ReplaceParams(saved_); }

packets::Field PacketField(const FieldInfo& info) {
  packets::Field f;
  f.name = info.name;
  f.type = info.type;
  f.size = info.size;
  f.scale = info.scale;
  f.required = info.required;
  // An expression has no origin (the driver gives it none), and the
  // resolver then writes the column that the field is named after.
  if (!info.origin.empty()) f.origin = info.relation + "." + info.origin;
  return f;
}

std::vector<packets::Field> DescribeFields(driver::Query& query, const DetailsOf& details) {
  std::vector<packets::Field> fields;
  for (const FieldInfo& info : query.fields()) fields.push_back(PacketField(info));
  if (!details) return fields;
  for (driver::Query* detail : details(&query)) {
    packets::Field nested;
    nested.name = detail->name();
    if (detail->fields().empty()) detail->Prepare();
    nested.children = DescribeFields(*detail, details);
    fields.push_back(std::move(nested));
  }
  return fields;
}

int32_t WriteRows(driver::Query& query, int32_t count, const DetailsOf& details,
                  const RowSink& sink) {
  const std::vector<driver::Query*> linked = details ? details(&query) : std::vector<driver::Query*>{};
  int32_t written = 0;
  while ((count < 0 || written < count) && query.Next()) {
    std::vector<std::vector<packets::Row>> rows_of_details;
    for (driver::Query* detail : linked) {
      DetailRun run(*detail, query);
      std::vector<packets::Row> rows;
      WriteRows(*detail, -1, details, rows);
      rows_of_details.push_back(std::move(rows));
    }
    // Only now: the detail runs above read the master's current row.
    sink(query, std::move(rows_of_details));
    ++written;
  }
  return written;
}

int32_t WriteRows(driver::Query& query, int32_t count, const DetailsOf& details,
                  std::vector<packets::Row>& out) {
  return WriteRows(query, count, details,
                   [&out](driver::Query& q, std::vector<std::vector<packets::Row>>&& rows) {
                     out.push_back({q.TakeRow(), std::move(rows)});
                   });
}

}  // namespace orvala::providers
