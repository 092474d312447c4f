#include "providers/supplier_link.h"

#include <set>

#include "common/ascii.h"
#include "common/error.h"
#include "driver/params.h"
#include "providers/field_binding.h"

namespace orvala::providers {
namespace {

constexpr const char* kIgnoredField = "RAGIONESOCIALE";  // joined in, never written here

Value AsInteger(const Value& v) {
  if (const auto* i = std::get_if<int32_t>(&v)) return *i;
  if (const auto* s = std::get_if<int16_t>(&v)) return int32_t{*s};
  if (const auto* l = std::get_if<int64_t>(&v)) return static_cast<int32_t>(*l);
  if (const auto* t = std::get_if<std::string>(&v)) return static_cast<int32_t>(std::stol(*t));
  throw Error("ID_FORNITORI is not an integer");
}

Value AsString(const Value& v) {
  if (const auto* t = std::get_if<std::string>(&v)) return *t;
  if (const auto* i = std::get_if<int32_t>(&v)) return std::to_string(*i);
  throw Error("ID_DITTE is not a string");
}

// Binds one parameter per field of the row (by name, without regard to
// case) and declines a row that leaves a parameter of the statement
// without a value of its own, which would otherwise carry the previous
// row's value into this one.
void BindFields(driver::Query& statement, const std::vector<packets::Field>& fields,
                const packets::DeltaRow& row, bool use_old_for_unchanged) {
  std::set<std::string> bound;
  size_t plain = 0;
  for (const packets::Field& f : fields) {
    if (f.is_nested()) continue;
    const size_t i = plain++;
    if (f.name == kIgnoredField) continue;
    driver::Param* p = statement.params().Find(f.name);
    if (!p) throw Error(Format("Parameter '%s' not found", f.name));
    const bool key = EqualsIgnoreCase(f.name, "ID_FORNITORI") ||
                     EqualsIgnoreCase(f.name, "ID_DITTE");
    const bool changed = i < row.new_values.size() && row.new_values[i].has_value();
    Value v;
    if (use_old_for_unchanged) {
      v = (changed && !key) ? *row.new_values[i] : row.old_values.at(i);
    } else if (changed) {
      v = *row.new_values[i];
    }
    for (driver::Param& same : statement.params()) {
      if (EqualsIgnoreCase(same.name, f.name)) BindFieldValue(same, v, f.type, f.scale);
    }
    bound.insert(ToUpperAscii(f.name));
  }
  for (const driver::Param& p : statement.params()) {
    if (!bound.count(ToUpperAscii(p.name))) {
      throw Error(Format("No value for parameter '%s'", p.name));
    }
  }
}

const Value* OldValue(const std::vector<packets::Field>& fields, const packets::DeltaRow& row,
                      const char* name) {
  size_t plain = 0;
  for (const packets::Field& f : fields) {
    if (f.is_nested()) continue;
    const size_t i = plain++;
    if (EqualsIgnoreCase(f.name, name) && i < row.old_values.size()) {
      return &row.old_values[i];
    }
  }
  return nullptr;
}

}  // namespace

UpdateHook SupplierLinkHook(catalogue::QueryModule& catalogue) {
  return [&catalogue](const std::vector<packets::Field>& fields, const packets::DeltaRow& row,
                      packets::UpdateKind kind, driver::Transaction& tx) -> HookOutcome {
    int64_t affected = 0;
    try {
      driver::Query* statement = nullptr;
      switch (kind) {
        case packets::UpdateKind::Modify:
          statement = catalogue.Find("qUpdateFornitoriDitte");
          BindFields(*statement, fields, row, true);
          break;
        case packets::UpdateKind::Insert:
          statement = catalogue.Find("qInsertFornitoriDitte");
          BindFields(*statement, fields, row, false);
          break;
        case packets::UpdateKind::Delete: {
          statement = catalogue.Find("qDeleteFornitoriDitte");
          const Value* supplier = OldValue(fields, row, "ID_FORNITORI");
          const Value* company = OldValue(fields, row, "ID_DITTE");
          if (!supplier || !company) throw Error("The row has no key");
          BindFieldValue(statement->params().ByName("ID_FORNITORI"), AsInteger(*supplier),
                         FieldType::Integer, 0);
          BindFieldValue(statement->params().ByName("ID_DITTE"), AsString(*company),
                         FieldType::String, 0);
          break;
        }
        case packets::UpdateKind::Unmodified:
          return HookOutcome::Declined;
      }
      affected = statement->Execute(&tx);
    } catch (...) {
      // Whatever stops the statements (a field they have no parameter for,
      // a value that does not convert, the database) hands the row to the
      // resolver's own statement.
      return HookOutcome::Declined;
    }
    if (affected == 0 && kind != packets::UpdateKind::Insert) return HookOutcome::RowNotFound;
    return HookOutcome::Applied;
  };
}

}  // namespace orvala::providers
