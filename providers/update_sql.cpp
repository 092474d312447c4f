#include "providers/update_sql.h"

#include "common/error.h"
#include "providers/sql_names.h"

namespace orvala::providers {
namespace {

constexpr const char* kCrLf = "\r\n";
constexpr int kLargestComparedSize = 8192;

bool IsPlainData(const packets::Field& f) {
  return !f.is_nested() && !f.server_calc && !(f.prov_flags & packets::kHidden);
}

// Large values and BLOBs cannot be compared in a WHERE clause.
bool Comparable(const packets::Field& f) {
  return f.type != FieldType::Memo && f.type != FieldType::Blob && f.size < kLargestComparedSize;
}

}  // namespace

UpdateStatement BuildUpdateStatement(packets::UpdateKind kind,
                                     const std::vector<packets::Field>& fields,
                                     const packets::DeltaRow& row, const std::string& quoted_table,
                                     const std::string& quote) {
  UpdateStatement out;
  struct Column {
    std::string name;
    size_t value_index;
    const packets::Field* field;
  };
  std::vector<Column> set, where;
  size_t plain = 0;
  for (const packets::Field& f : fields) {
    if (f.is_nested()) continue;
    const size_t index = plain++;
    if (!IsPlainData(f)) continue;
    const std::string column = ColumnName(f.name, f.origin);
    if ((f.prov_flags & packets::kInUpdate) && index < row.new_values.size() &&
        row.new_values[index].has_value()) {
      set.push_back({column, index, &f});
    }
    if ((f.prov_flags & packets::kInWhere) && Comparable(f)) where.push_back({column, index, &f});
  }

  std::vector<std::string> lines;
  auto quoted = [&](const std::string& column) { return QuoteIdentifier(column, quote); };
  auto add_where = [&] {
    if (where.empty()) throw Error("Unable to find record.  No key specified");
    lines.push_back("where");
    for (const Column& c : where) {
      const Value& old = c.value_index < row.old_values.size() ? row.old_values[c.value_index]
                                                               : Value{};
      if (IsNull(old)) {
        lines.push_back(" " + quoted(c.name) + " is null and");
      } else {
        lines.push_back(" " + quoted(c.name) + " = ? and");
        out.Add(old, *c.field);
      }
    }
    lines.back().resize(lines.back().size() - 4);  // the last loses " and"
  };

  switch (kind) {
    case packets::UpdateKind::Modify:
      lines.push_back("update " + quoted_table + "  set");
      for (const Column& c : set) {
        lines.push_back(" " + quoted(c.name) + " = ?,");
        out.Add(*row.new_values[c.value_index], *c.field);
      }
      if (!set.empty()) lines.back().pop_back();  // the last loses its comma
      add_where();
      break;
    case packets::UpdateKind::Insert: {
      lines.push_back("insert into " + quoted_table);
      std::string columns = "  (";
      std::string values = "  (";
      for (const Column& c : set) {
        columns += quoted(c.name) + ", ";
        values += "?, ";
        out.Add(*row.new_values[c.value_index], *c.field);
      }
      if (!set.empty()) {
        columns.replace(columns.size() - 2, 2, ")");
        values.replace(values.size() - 2, 2, ")");
      }
      lines.push_back(columns);
      lines.push_back("values");
      lines.push_back(values);
      break;
    }
    case packets::UpdateKind::Delete:
      lines.push_back("delete from " + quoted_table + " ");
      add_where();
      break;
    case packets::UpdateKind::Unmodified:
      // A row carried for its details is found again, never written.
      lines.push_back("select * from " + quoted_table + " ");
      add_where();
      break;
  }
  for (const std::string& line : lines) out.sql += line + kCrLf;
  return out;
}

UpdateStatement BuildRowSelect(const std::vector<packets::Field>& fields,
                               const packets::DeltaRow& row, const std::string& quoted_table,
                               const std::string& quote) {
  return BuildUpdateStatement(packets::UpdateKind::Unmodified, fields, row, quoted_table, quote);
}

}  // namespace orvala::providers
