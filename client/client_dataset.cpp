#include "client/client_dataset.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <utility>

#include "packets/code_pages.h"
#include "common/ascii.h"
#include "common/error.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

// One clock for every dataset, nested ones included, so that the changes
// of a master and of its details can be put in the order they were made.
uint64_t NextChange() {
  static std::atomic<uint64_t> clock{0};
  return ++clock;
}

template <typename To>
std::optional<To> IntegerAs(const Value& v) {
  int64_t n;
  if (const auto* s = std::get_if<int16_t>(&v)) {
    n = *s;
  } else if (const auto* i = std::get_if<int32_t>(&v)) {
    n = *i;
  } else if (const auto* l = std::get_if<int64_t>(&v)) {
    n = *l;
  } else {
    return std::nullopt;
  }
  if (n < std::numeric_limits<To>::min() || n > std::numeric_limits<To>::max()) return std::nullopt;
  return static_cast<To>(n);
}

// The value in the kind that a field of `type` holds, or nullopt.
std::optional<Value> ConvertTo(FieldType type, const Value& v) {
  if (IsNull(v)) return v;
  switch (type) {
    case FieldType::Unknown: return v;
    case FieldType::SmallInt:
      if (auto n = IntegerAs<int16_t>(v)) return Value{*n};
      return std::nullopt;
    case FieldType::Integer:
      if (auto n = IntegerAs<int32_t>(v)) return Value{*n};
      return std::nullopt;
    case FieldType::BigInt:
      if (auto n = IntegerAs<int64_t>(v)) return Value{*n};
      return std::nullopt;
    case FieldType::Double:
      if (std::holds_alternative<double>(v)) return v;
      if (auto n = IntegerAs<int64_t>(v)) return Value{static_cast<double>(*n)};
      return std::nullopt;
    case FieldType::Timestamp:
      return std::holds_alternative<Timestamp>(v) ? std::optional<Value>(v) : std::nullopt;
    case FieldType::String:
    case FieldType::Memo:
    case FieldType::Blob:
      return std::holds_alternative<std::string>(v) ? std::optional<Value>(v) : std::nullopt;
    case FieldType::Boolean:
      return std::holds_alternative<bool>(v) ? std::optional<Value>(v) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

void ClientDataset::Describe(std::vector<packets::Field> fields, std::string code_page) {
  fields_ = std::move(fields);
  code_page_ = std::move(code_page);
  described_ = true;
  plain_of_field_.clear();
  nested_of_field_.clear();
  size_t plain = 0, nested = 0;
  for (const packets::Field& f : fields_) {
    plain_of_field_.push_back(f.is_nested() ? SIZE_MAX : plain++);
    nested_of_field_.push_back(f.is_nested() ? nested++ : SIZE_MAX);
  }
}

void ClientDataset::AppendData(packets::DataPacket&& packet) {
  if (!described_) {
    if (!packet.has_metadata) throw Error("The first data packet carries no field descriptions");
  } else if (packet.has_metadata && packet.fields != fields_) {
    throw Error("A later data packet describes other fields");
  }
  const size_t plain = packets::PlainFieldCount(described_ ? fields_ : packet.fields);
  const size_t nested = packets::NestedFieldCount(described_ ? fields_ : packet.fields);
  for (const packets::Row& r : packet.rows) {
    if (r.values.size() != plain || r.details.size() != nested) {
      throw Error("A data packet row does not fit its fields");
    }
  }
  if (!described_) Describe(std::move(packet.fields), std::move(packet.code_page));
  rows_.reserve(rows_.size() + packet.rows.size());
  for (packets::Row& r : packet.rows) rows_.push_back(MakeRow(std::move(r)));
}

void ClientDataset::AppendData(const packets::DataPacket& packet) {
  AppendData(packets::DataPacket(packet));
}

void ClientDataset::AppendData(const Variant& packet) {
  if (packet.is_empty_or_null()) return;
  AppendData(packets::DataPacketFromVariant(packet));
}

ClientDataset::Row ClientDataset::EmptyRow() const {
  Row row;
  row.values.resize(packets::PlainFieldCount(fields_));
  for (const packets::Field& f : fields_) {
    if (!f.is_nested()) continue;
    ClientDataset detail;
    detail.Describe(f.children, code_page_);
    row.details.push_back(std::move(detail));
  }
  return row;
}

ClientDataset::Row ClientDataset::MakeRow(packets::Row&& packet_row) const {
  Row row;
  row.values = std::move(packet_row.values);
  if (packet_row.details.empty()) return row;
  size_t k = 0;
  for (const packets::Field& f : fields_) {
    if (!f.is_nested()) continue;
    ClientDataset& detail = row.details.emplace_back();
    detail.Describe(f.children, code_page_);
    packets::DataPacket rows;
    rows.code_page = code_page_;
    rows.has_metadata = false;
    rows.rows = std::move(packet_row.details[k++]);
    detail.AppendData(std::move(rows));
  }
  return row;
}

std::optional<size_t> ClientDataset::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (EqualsIgnoreCase(fields_[i].name, name)) return i;
  }
  return std::nullopt;
}

size_t ClientDataset::PlainIndex(std::string_view field) const {
  const std::optional<size_t> i = FieldIndex(field);
  if (!i || fields_[*i].is_nested()) throw Error("Field '" + std::string(field) + "' not found");
  return plain_of_field_[*i];
}

void ClientDataset::MoveTo(size_t position) { position_ = std::min(position, rows_.size()); }

ClientDataset::Row& ClientDataset::Current() {
  if (eof()) throw Error("The dataset has no current row");
  return rows_[position_];
}

const ClientDataset::Row& ClientDataset::Current() const {
  if (eof()) throw Error("The dataset has no current row");
  return rows_[position_];
}

const Value& ClientDataset::Get(std::string_view field) const {
  const size_t i = PlainIndex(field);
  return Current().values[i];
}

std::u16string ClientDataset::GetText(std::string_view field) const {
  const Value& v = Get(field);
  if (orvala::IsNull(v)) return u"";
  const auto* bytes = std::get_if<std::string>(&v);
  if (!bytes) throw Error("Field '" + std::string(field) + "' does not hold text");
  return packets::CodePageNamed(code_page_)->Decode(*bytes);
}

void ClientDataset::Touch(Row& row) {
  if (row.changed_at == 0) row.changed_at = NextChange();
}

void ClientDataset::Set(std::string_view field, Value value) {
  const size_t i = PlainIndex(field);
  const packets::Field& f = fields_[*FieldIndex(field)];
  std::optional<Value> converted = ConvertTo(f.type, value);
  if (!converted) {
    throw Error("Field '" + f.name + "' of type " + FieldTypeName(f.type) +
                " cannot hold a value of type " + FieldTypeName(TypeOfValue(value)));
  }
  Row& row = Current();
  if (!row.inserted && !row.saved) row.saved = row.values;
  row.values[i] = std::move(*converted);
  if (row.inserted) row.assigned[i] = true;
  Touch(row);
}

void ClientDataset::SetText(std::string_view field, std::u16string_view text) {
  Set(field, Value{packets::CodePageNamed(code_page_)->Encode(text)});
}

ClientDataset& ClientDataset::Detail(std::string_view nested_field) {
  return const_cast<ClientDataset&>(std::as_const(*this).Detail(nested_field));
}

const ClientDataset& ClientDataset::Detail(std::string_view nested_field) const {
  const std::optional<size_t> i = FieldIndex(nested_field);
  if (!i || !fields_[*i].is_nested()) {
    throw Error("Nested field '" + std::string(nested_field) + "' not found");
  }
  return Current().details[nested_of_field_[*i]];
}

void ClientDataset::Insert() {
  if (!described_) throw Error("The dataset has no field descriptions");
  Row row = EmptyRow();
  row.inserted = true;
  row.assigned.assign(row.values.size(), false);
  Touch(row);
  rows_.push_back(std::move(row));
  position_ = rows_.size() - 1;
}

void ClientDataset::Delete() {
  Row& row = Current();
  if (!row.inserted) {
    row.deleted = true;
    row.changed_at = NextChange();  // a delete applies where it was made
    deleted_.push_back(std::move(row));
  }
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(position_));
}

packets::UpdateKind ClientDataset::KindOf(const Row& row) {
  if (row.deleted) return packets::UpdateKind::Delete;
  if (row.inserted) return packets::UpdateKind::Insert;
  return row.saved && row.values != *row.saved ? packets::UpdateKind::Modify
                                               : packets::UpdateKind::Unmodified;
}

packets::UpdateKind ClientDataset::row_kind() const { return KindOf(Current()); }

const std::optional<std::string>& ClientDataset::row_error() const { return Current().error; }

uint64_t ClientDataset::EarliestChange() const {
  uint64_t earliest = 0;
  for (const Change& c : Changes()) {
    if (earliest == 0 || c.order < earliest) earliest = c.order;
  }
  return earliest;
}

std::optional<ClientDataset::Change> ClientDataset::ChangeOf(const Row& row, bool deleted,
                                                              size_t index) const {
  packets::DeltaRow d;
  d.kind = KindOf(row);
  uint64_t detail_order = 0;
  bool details_changed = false;
  for (const ClientDataset& detail : row.details) {
    std::vector<packets::DeltaRow> rows;
    for (Change& c : detail.Changes()) rows.push_back(std::move(c.delta));
    if (!rows.empty()) {
      details_changed = true;
      const uint64_t earliest = detail.EarliestChange();
      if (detail_order == 0 || earliest < detail_order) detail_order = earliest;
    }
    d.details.push_back(std::move(rows));
  }
  if (d.kind == packets::UpdateKind::Unmodified && !details_changed) return std::nullopt;
  if (!details_changed) d.details.clear();

  const size_t width = row.values.size();
  switch (d.kind) {
    case packets::UpdateKind::Modify:
      d.old_values = *row.saved;
      d.new_values.resize(width);
      for (size_t i = 0; i < width; ++i) {
        if (row.values[i] != (*row.saved)[i]) d.new_values[i] = row.values[i];
      }
      break;
    case packets::UpdateKind::Unmodified:
      d.old_values = Original(row);
      d.new_values.resize(width);
      break;
    case packets::UpdateKind::Insert:
      d.new_values.resize(width);
      for (size_t i = 0; i < width; ++i) {
        if (row.assigned[i]) d.new_values[i] = row.values[i];
      }
      break;
    case packets::UpdateKind::Delete:
      d.old_values = Original(row);
      break;
  }
  const uint64_t order =
      d.kind == packets::UpdateKind::Unmodified ? detail_order : row.changed_at;
  return Change{order, deleted, index, std::move(d)};
}

std::vector<ClientDataset::Change> ClientDataset::Changes() const {
  std::vector<Change> changes;
  for (size_t i = 0; i < rows_.size(); ++i) {
    if (auto c = ChangeOf(rows_[i], false, i)) changes.push_back(std::move(*c));
  }
  for (size_t i = 0; i < deleted_.size(); ++i) {
    if (auto c = ChangeOf(deleted_[i], true, i)) changes.push_back(std::move(*c));
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change& a, const Change& b) { return a.order < b.order; });
  return changes;
}

bool ClientDataset::has_changes() const {
  if (!deleted_.empty()) return true;
  for (const Row& row : rows_) {
    if (KindOf(row) != packets::UpdateKind::Unmodified) return true;
    for (const ClientDataset& detail : row.details) {
      if (detail.has_changes()) return true;
    }
  }
  return false;
}

packets::DeltaPacket ClientDataset::Delta() const {
  packets::DeltaPacket delta;
  delta.code_page = code_page_;
  delta.fields = fields_;
  for (Change& c : Changes()) delta.rows.push_back(std::move(c.delta));
  return delta;
}

std::pair<const ClientDataset*, ClientDataset::Change> ClientDataset::Locate(
    const packets::ErrorRow& error) const {
  auto change = [](const ClientDataset& ds, int32_t record) {
    std::vector<Change> changes = ds.Changes();
    if (record < 1 || static_cast<size_t>(record) > changes.size()) {
      throw Error("The error packet names record " + std::to_string(record) +
                  ", which the delta does not hold");
    }
    return std::move(changes[static_cast<size_t>(record) - 1]);
  };
  const ClientDataset* ds = this;
  for (const packets::ErrorStep& step : error.path) {
    const Change c = change(*ds, step.record_number);
    const Row& row = c.deleted ? ds->deleted_[c.index] : ds->rows_[c.index];
    const std::optional<size_t> field = ds->FieldIndex(step.nested_field);
    if (!field || !ds->fields_[*field].is_nested()) {
      throw Error("The error packet names the nested field " + step.nested_field +
                  ", which the delta does not hold");
    }
    ds = &row.details[ds->nested_of_field_[*field]];
  }
  return {ds, change(*ds, error.record_number)};
}

std::vector<RowError> ClientDataset::MatchErrors(const packets::ErrorPacket& errors) const {
  std::vector<RowError> matched;
  for (const packets::ErrorRow& e : errors.rows) {
    const auto [ds, c] = Locate(e);
    const Row& row = c.deleted ? ds->deleted_[c.index] : ds->rows_[c.index];
    RowError r;
    r.error = e;
    r.kind = c.delta.kind;
    if (!c.deleted) r.position = c.index;
    if (!row.inserted) r.old_values = Original(row);
    r.values = row.values;
    matched.push_back(std::move(r));
  }
  return matched;
}

void ClientDataset::MergeOwnValues(Row& row) {
  row.saved.reset();
  row.inserted = false;
  row.assigned.clear();
  row.changed_at = 0;
  row.error.reset();
}

void ClientDataset::MergeRow(Row& row) {
  MergeOwnValues(row);
  for (ClientDataset& detail : row.details) detail.MergeChangeLog();
}

void ClientDataset::Reconcile(const packets::ErrorPacket& errors) {
  MatchErrors(errors);  // a packet that does not fit the delta changes nothing
  bool committed = true;
  std::vector<const packets::ErrorRow*> all;
  for (const packets::ErrorRow& e : errors.rows) {
    if (e.response == packets::kResponseAbort) committed = false;
    all.push_back(&e);
  }
  ReconcileLevel(all, 0, committed);
}

void ClientDataset::ReconcileLevel(const std::vector<const packets::ErrorRow*>& errors,
                                   size_t depth, bool committed) {
  const std::vector<Change> changes = Changes();
  std::map<size_t, std::string> failed;                      // change index: message
  std::map<size_t, std::vector<const packets::ErrorRow*>> below;  // change index: its details' errors
  for (const packets::ErrorRow* e : errors) {
    if (e->path.size() == depth) {
      failed[static_cast<size_t>(e->record_number) - 1] = e->message;
    } else {
      below[static_cast<size_t>(e->path[depth].record_number) - 1].push_back(e);
    }
  }
  std::vector<bool> drop_deleted(deleted_.size(), false);
  for (size_t k = 0; k < changes.size(); ++k) {
    const Change& c = changes[k];
    Row& row = c.deleted ? deleted_[c.index] : rows_[c.index];
    // Each detail row stands or falls by its own errors, whatever its
    // master row's fate.
    const auto deeper = below.find(k);
    for (size_t f = 0; f < fields_.size(); ++f) {
      if (!fields_[f].is_nested()) continue;
      std::vector<const packets::ErrorRow*> mine;
      if (deeper != below.end()) {
        for (const packets::ErrorRow* e : deeper->second) {
          if (FieldIndex(e->path[depth].nested_field) == f) mine.push_back(e);
        }
      }
      row.details[nested_of_field_[f]].ReconcileLevel(mine, depth + 1, committed);
    }
    if (const auto it = failed.find(k); it != failed.end()) {
      row.error = it->second;
      continue;
    }
    row.error.reset();
    if (!committed) continue;
    if (c.deleted) {
      drop_deleted[c.index] = true;
    } else {
      MergeOwnValues(row);
    }
  }
  std::vector<Row> kept;
  for (size_t i = 0; i < deleted_.size(); ++i) {
    if (!drop_deleted[i]) kept.push_back(std::move(deleted_[i]));
  }
  deleted_ = std::move(kept);
}

void ClientDataset::MergeChangeLog() {
  deleted_.clear();
  for (Row& row : rows_) MergeRow(row);
}

}  // namespace orvala::client
