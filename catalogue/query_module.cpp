#include "catalogue/query_module.h"

namespace orvala::catalogue {

FieldType ToFieldType(FieldKind kind) {
  switch (kind) {
    case FieldKind::Integer: return FieldType::Integer;
    case FieldKind::Float: return FieldType::Double;
    case FieldKind::String: return FieldType::String;
    case FieldKind::Timestamp: return FieldType::Timestamp;
  }
  return FieldType::Unknown;
}

driver::ListedField ToListedField(const FieldDef& field) {
  return {field.name, ToFieldType(field.kind), field.size, field.required};
}

QueryModule::QueryModule(Module which) {
  for (const QueryDef& def : Queries()) {
    if (def.module != which) continue;
    auto query = std::make_unique<driver::Query>(def.query_name);
    if (def.sql) query->SetSql({def.sql});
    std::vector<driver::ListedField> listed;
    for (const FieldDef& f : def.fields) listed.push_back(ToListedField(f));
    query->SetListedFields(std::move(listed));
    // Declared parameters carry their type from the start, so a fetch that
    // sends no values runs with nulls instead of failing for want of a type.
    for (size_t i = 0; i < def.params.size() && i < query->params().size(); ++i) {
      query->params()[i].data_type = ToFieldType(def.params[i].kind);
    }
    queries_.push_back(std::move(query));
  }
}

driver::Query* QueryModule::Find(std::string_view query_name) const {
  for (const auto& q : queries_) {
    if (q->name() == query_name) return q.get();
  }
  return nullptr;
}

void QueryModule::Bind(driver::Connection* connection) {
  for (const auto& q : queries_) q->SetConnection(connection);
}

}  // namespace orvala::catalogue
