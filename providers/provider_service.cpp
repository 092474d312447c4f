#include "providers/provider_service.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/ascii.h"
#include "common/codepage.h"
#include "common/datetime.h"
#include "common/error.h"
#include "driver/params.h"
#include "driver/sql_params.h"
#include "packets/code_pages.h"
#include "packets/packet_variant.h"
#include "providers/field_binding.h"
#include "providers/packet_writer.h"
#include "providers/sql_names.h"
#include "providers/supplier_link.h"
#include "providers/update_sql.h"

namespace orvala::providers {
namespace {

constexpr int32_t kOptionMetadata = 1;
constexpr int32_t kOptionReset = 2;
constexpr int32_t kRequestRecord = 1;
constexpr int32_t kRequestBlobs = 2;
constexpr int32_t kRequestDetails = 4;

std::unique_lock<std::recursive_mutex> LockFor(const Provider& provider) {
  if (!provider.shared_lock()) return {};
  return std::unique_lock(*provider.shared_lock());
}

// Case-insensitive ordering of names, as the client's list expects them.
bool LessIgnoreCase(const std::string& a, const std::string& b) {
  return ToUpperAscii(a) < ToUpperAscii(b);
}

FieldType TypeOfVariant(VarType type) {
  switch (type) {
    case VarType::I2: return FieldType::SmallInt;
    case VarType::I4: return FieldType::Integer;
    case VarType::I8: return FieldType::BigInt;
    case VarType::R8: return FieldType::Double;
    case VarType::Currency: return FieldType::BigInt;
    case VarType::Date: return FieldType::Timestamp;
    case VarType::BStr: return FieldType::String;
    case VarType::Bool: return FieldType::Boolean;
    default: return FieldType::Unknown;
  }
}

// Money is an integer of ten-thousandths.
constexpr int kCurrencyScale = 4;

int ScaleOfVariant(const Variant& v) {
  return v.type() == VarType::Currency ? kCurrencyScale : 0;
}

Value ValueOfVariant(const Variant& v) {
  switch (v.type()) {
    case VarType::I2: return v.i2();
    case VarType::I4: return v.i4();
    case VarType::I8: return v.i8();
    case VarType::R8: return v.r8();
    // Exactly, as the fixed-point integer it is: through a double an amount
    // of 15 digits or more would lose its last ones.
    case VarType::Currency: return v.currency().scaled;
    case VarType::Date: return FromAutomationDate(v.date().value);
    case VarType::BStr: return CodePage::System().Encode(v.bstr());
    case VarType::Bool: return v.boolean();
    default: return std::monostate{};
  }
}

// A delta's strings in the code page of the connection, which is the one
// its statements bind them in. A character that the connection's code page
// lacks would be stored as another one (or compared as another one): the
// whole delta is refused before anything is written.
class DeltaRecoder {
 public:
  explicit DeltaRecoder(const std::string& from)
      : from_(packets::CodePageNamed(from)), to_(CodePage::System()) {}

  void Recode(packets::DeltaPacket& delta) const {
    if (from_->name() == to_.name()) return;
    if (delta.table_name) delta.table_name = Text(*delta.table_name);
    Fields(delta.fields);
    Rows(delta.fields, delta.rows);
    delta.code_page = to_.name();
  }

 private:
  std::string Text(const std::string& bytes) const {
    const std::u16string text = from_->Decode(bytes);
    std::string out = to_.Encode(text);
    if (to_.Decode(out) != text) {
      throw Error("The delta holds a character that code page " + to_.name() +
                  " of the database cannot hold");
    }
    return out;
  }
  void Fields(std::vector<packets::Field>& fields) const {
    for (packets::Field& f : fields) {
      f.name = Text(f.name);
      f.origin = Text(f.origin);
      Fields(f.children);
    }
  }
  // BLOB bytes are no text and stay as they are.
  void RecodeValue(const packets::Field& field, Value& value) const {
    if (field.type == FieldType::Blob) return;
    if (auto* s = std::get_if<std::string>(&value)) *s = Text(*s);
  }
  void Rows(const std::vector<packets::Field>& fields, std::vector<packets::DeltaRow>& rows) const {
    for (packets::DeltaRow& row : rows) {
      size_t plain = 0, nested = 0;
      for (const packets::Field& f : fields) {
        if (f.is_nested()) {
          if (nested < row.details.size()) Rows(f.children, row.details[nested]);
          ++nested;
          continue;
        }
        if (plain < row.old_values.size()) RecodeValue(f, row.old_values[plain]);
        if (plain < row.new_values.size() && row.new_values[plain]) {
          RecodeValue(f, *row.new_values[plain]);
        }
        ++plain;
      }
    }
  }

  std::shared_ptr<const CodePage> from_;
  const CodePage& to_;
};

packets::DeltaPacket DeltaInDatabaseCodePage(const Variant& delta) {
  packets::DeltaPacket packet = packets::DeltaPacketFromVariant(delta);
  DeltaRecoder(packet.code_page).Recode(packet);
  return packet;
}

packets::ParamPacket PacketOfParams(const std::vector<FieldInfo>& fields,
                                    const std::vector<Value>& values, int32_t param_type) {
  packets::ParamPacket packet;
  packet.code_page = CodePage::System().name();
  for (size_t i = 0; i < fields.size() && i < values.size(); ++i) {
    packet.params.push_back(
        {fields[i].name, values[i], fields[i].type, param_type, fields[i].scale});
  }
  return packet;
}

}  // namespace

bool IsValidComponentName(const std::string& name) {
  if (name.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(name[0])) return false;
  return std::all_of(name.begin(), name.end(),
                     [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

ProviderService::ProviderService(ServiceContext context) : context_(std::move(context)) {
  for (const catalogue::QueryDef& def : catalogue::Queries()) {
    if (!def.provider_name) continue;
    catalogue::QueryModule* module =
        def.module == catalogue::Module::Catalogue ? context_.catalogue : context_.reports;
    driver::Query* query = module ? module->Find(def.query_name) : nullptr;
    providers_.push_back(std::make_unique<Provider>(def.provider_name, query,
                                                    module ? &module->lock() : nullptr));
    if (std::strcmp(def.provider_name, "SelectFornitoriDitte") == 0 && context_.catalogue) {
      providers_.back()->hook = SupplierLinkHook(*context_.catalogue);
    }
  }
}

ProviderService::~ProviderService() = default;

Provider* ProviderService::FindProvider(const std::string& name) const {
  for (const auto& p : providers_) {
    if (EqualsIgnoreCase(p->name(), name)) return p.get();
  }
  return nullptr;
}

Provider& ProviderService::Require(const std::string& name) const {
  Provider* provider = FindProvider(name);
  if (!provider) throw Error(Format("Provider not exported: %s", name));
  return *provider;
}

std::vector<driver::Query*> ProviderService::DetailsOf(const driver::Query* master) const {
  std::vector<driver::Query*> details;
  for (const auto& [detail, source] : links_) {
    if (source && source->dataset == master) details.push_back(detail);
  }
  return details;
}

const driver::Query* ProviderService::MasterOf(const driver::Query* detail) const {
  for (const auto& [linked, source] : links_) {
    if (linked == detail && source) return source->dataset;
  }
  return nullptr;
}

void ProviderService::OpenQuery(Provider& provider) {
  driver::Query& query = *provider.query();
  const driver::Query* master = MasterOf(&query);
  {
    std::optional<MasterValues> from_master;
    if (master && master->is_open()) from_master.emplace(query, *master);
    query.Open();
  }
  provider.opened_query = true;
}

void ProviderService::ReplaceParams(Provider& provider, const Variant& params) {
  driver::Query* query = provider.query();
  const packets::ParamPacket packet = packets::ParamPacketFromVariant(params);
  if (!query) return;
  if (!packet.params.empty()) {
    std::vector<driver::Param> list;
    for (const packets::PacketParam& sent : packet.params) {
      driver::Param p;
      p.name = sent.name;
      p.data_type = sent.data_type;
      p.value = sent.value;
      p.scale = sent.scale;
      p.bound = sent.data_type != FieldType::Unknown;
      list.push_back(std::move(p));
    }
    query->ReplaceParams(driver::ParamList(std::move(list)));
  }
  query->Close();
  provider.opened_query = false;
}

driver::Query* ProviderService::TakeRequest(Provider& provider, const std::string& command_text,
                                           const Variant& params) {
  if (!command_text.empty()) throw Error("CommandText changes are not allowed");
  // Unassigned keeps the query's parameters and open state; a list sent
  // with the request (even an empty one) restarts the query.
  if (!params.is_empty()) ReplaceParams(provider, params);
  if (!provider.query()) throw Error("Missing DataSet property");
  return provider.query();
}

Variant ProviderService::GetRecords(const std::string& name, int32_t count, int32_t& recs_out,
                                    int32_t options, const std::string& command_text,
                                    Variant& params) {
  Provider& provider = Require(name);
  const auto guard = LockFor(provider);
  driver::Query* query = TakeRequest(provider, command_text, params);
  auto reset = [&] {
    if (provider.opened_query) query->Close();
    provider.opened_query = false;
    provider.rows_sent = 0;
  };
  try {
    if (options & kOptionReset) {
      reset();
      if (count == 0) {
        recs_out = 0;
        return Variant::Null();
      }
    }
    if (!query->is_open()) OpenQuery(provider);
    const providers::DetailsOf details = [this](const driver::Query* m) { return DetailsOf(m); };
    packets::DataPacket header;
    header.code_page = CodePage::System().name();
    header.has_metadata = (options & kOptionMetadata) || count == 0 || !provider.wrote_packet ||
                          provider.described_sql != query->sql_text();
    if (header.has_metadata) {
      header.fields = DescribeFields(*query, details);
      provider.described_sql = query->sql_text();
    }
    // The rows go into the packet as they are fetched, never held as values.
    packets::DataPacketWriter packet(packets::EncodingForOptions(options), std::move(header));
    recs_out = WriteRows(*query, count, details,
                         [&packet](driver::Query& q, std::vector<std::vector<packets::Row>>&& rows) {
                           packet.Add(q.row(), std::move(rows));
                         });
    provider.rows_sent += recs_out;
    provider.wrote_packet = true;
    if (recs_out != count) reset();
    params = Variant::Null();  // the catalogue's queries have no output parameters
    return Variant::Bytes(packet.Finish());
  } catch (...) {
    reset();
    throw;
  }
}

Variant ProviderService::ApplyUpdates(const std::string& name, const Variant& delta,
                                      int32_t max_errors, int32_t& error_count) {
  Provider& provider = Require(name);
  const auto guard = LockFor(provider);
  if (!provider.query()) throw Error("Missing DataSet property");
  const packets::DeltaPacket packet = DeltaInDatabaseCodePage(delta);
  ResolveTarget target;
  target.query = provider.query();
  target.hook = provider.hook;
  target.detail = [this, &provider](const std::string& field) -> driver::Query* {
    for (driver::Query* d : DetailsOf(provider.query())) {
      if (d->name() == field) return d;
    }
    return nullptr;
  };
  const ApplyResult result = ApplyDelta(target, packet, max_errors);
  error_count = result.error_count;
  return packets::ToVariant(result.errors, packets::Encoding::Binary);
}

Variant ProviderService::DataRequest(const std::string& name, const Variant&) {
  Require(name);
  return Variant::Null();
}

Variant ProviderService::GetProviderNames() const {
  std::vector<std::string> names;
  for (const auto& p : providers_) names.push_back(p->name());
  if (names.empty()) return Variant::Null();
  std::stable_sort(names.begin(), names.end(), LessIgnoreCase);
  StringArray out;
  for (const std::string& n : names) out.push_back(CodePage::System().Decode(n));
  return Variant::Strings(std::move(out));
}

Variant ProviderService::GetParams(const std::string& name) {
  Provider& provider = Require(name);
  const auto guard = LockFor(provider);
  driver::Query* query = provider.query();
  if (!query) throw Error("Missing DataSet property");
  packets::ParamPacket packet;
  packet.code_page = CodePage::System().name();
  for (const driver::Param& p : query->params()) {
    packet.params.push_back({p.name, p.value, p.data_type, packets::kParamInput, p.scale});
  }
  return packets::ToVariant(packet, packets::Encoding::Binary);
}

Variant ProviderService::RowRequest(const std::string& name, const Variant& row,
                                    int32_t request_type) {
  Provider& provider = Require(name);
  const auto guard = LockFor(provider);
  driver::Query* query = provider.query();
  if (!query) throw Error("Missing DataSet property");
  if (!query->is_open()) OpenQuery(provider);
  // No query knows a key column, so a row can never be refreshed by key.
  if ((request_type & kRequestRecord) ||
      ((request_type & kRequestDetails) && !DetailsOf(query).empty())) {
    throw Error("Unable to find record.  No key specified");
  }
  if (!(request_type & kRequestBlobs)) return Variant::Null();
  const packets::DeltaPacket packet = DeltaInDatabaseCodePage(row);
  if (packet.rows.empty()) return Variant::Null();
  driver::Connection* connection = query->connection();
  if (!connection) throw Error("SQLConnection property required for this operation");
  const std::string table = packet.table_name ? TableNameFromDelta(*packet.table_name)
                                              : TableNameFromSql(query->sql_text());
  if (table.empty()) throw Error("Unable to resolve records.  Table name not found.");
  const std::string quote = connection->quote_char();
  const UpdateStatement select =
      BuildRowSelect(packet.fields, packet.rows.front(), QuoteTableName(table, quote), quote);
  driver::Query lookup("RowRequest");
  lookup.SetConnection(connection);
  lookup.SetSql({select.sql});
  for (size_t i = 0; i < select.params.size(); ++i) {
    BindFieldValue(lookup.params()[i], select.params[i], select.types[i], select.scales[i]);
  }
  lookup.Open();
  packets::DataPacket out;
  out.code_page = CodePage::System().name();
  out.fields = DescribeFields(lookup, {});
  WriteRows(lookup, -1, {}, out.rows);
  return packets::ToVariant(out, packets::Encoding::Binary);
}

void ProviderService::Execute(const std::string& name, const std::string& command_text,
                              Variant& params) {
  Provider& provider = Require(name);
  const auto guard = LockFor(provider);
  driver::Query* query = TakeRequest(provider, command_text, params);
  if (IsSelectStatement(query->sql_text())) {
    // A SELECT runs as its statement does: its cursor opens and closes, no
    // row comes back and none is taken for output parameters. It runs
    // apart, so that a fetch this query is in the middle of goes on.
    driver::Query statement(query->name());
    statement.SetConnection(query->connection());
    statement.SetSql(query->sql());
    statement.ReplaceParams(query->params());
    statement.Open();
    statement.Close();
    params = Variant::Null();
    return;
  }
  query->Execute();
  params = packets::ToVariant(
      PacketOfParams(query->output_fields(), query->outputs(), packets::kParamOutput),
      packets::Encoding::Binary);
}

void ProviderService::SetQuery(const std::string& sql, int32_t index) {
  // Compared as an unsigned number, a negative index is out of range too.
  const uint32_t wanted = static_cast<uint32_t>(index);
  for (const catalogue::SetQueryIndex& entry : catalogue::SetQueryIndexes()) {
    if (static_cast<uint32_t>(entry.index) != wanted) continue;
    driver::Query* query = context_.catalogue->Find(entry.query_name);
    if (!query) return;
    // Checked before the old text goes, so that a refused text leaves the
    // query as it was.
    driver::CheckSqlText(sql);
    std::lock_guard guard(context_.catalogue->lock());
    query->ClearSql();
    query->AddSqlLine(sql);
    return;
  }
}

std::vector<std::string> ProviderService::ComponentNames() const {
  std::vector<std::string> names =
      context_.other_component_names ? context_.other_component_names() : std::vector<std::string>{};
  for (const auto& p : providers_) names.push_back(p->name());
  for (const auto& q : queries_) names.push_back(q->name());
  for (const auto& d : data_sources_) names.push_back(d->name);
  return names;
}

void ProviderService::CheckNewName(const std::string& name) const {
  if (!IsValidComponentName(name)) {
    throw Error("''" + name + "'' is not a valid component name");
  }
  for (const std::string& existing : ComponentNames()) {
    if (EqualsIgnoreCase(existing, name)) {
      throw Error(Format("A component named %s already exists", name));
    }
  }
}

driver::Query& ProviderService::CreateQuery(const std::string& provider_name,
                                            const std::string& sql) {
  const std::string query_name =
      provider_name + std::to_string(context_.draw_below ? context_.draw_below(20000) : 0);
  CheckNewName(query_name);
  auto query = std::make_unique<driver::Query>(query_name);
  query->SetConnection(context_.connection);
  query->SetSql({sql});
  queries_.push_back(std::move(query));
  components_.push_back(queries_.back().get());
  return *queries_.back();
}

Provider& ProviderService::CreateProvider(const std::string& name, driver::Query* query) {
  // Created first and named after, so that a name that fails leaves a
  // provider without a name behind, as a component whose naming failed does.
  providers_.push_back(std::make_unique<Provider>("", query, nullptr));
  Provider& provider = *providers_.back();
  components_.push_back(&provider);
  CheckNewName(name);
  provider.set_name(name);
  return provider;
}

void ProviderService::AddProvider(const std::string& name, const std::string& sql) {
  driver::Query& query = CreateQuery(name, sql);
  CreateProvider(name, &query);
}

void ProviderService::AddMasterProvider(const std::string& name, const std::string& sql,
                                        const std::string& data_source) {
  driver::Query& query = CreateQuery(name, sql);
  CheckNewName(data_source);
  data_sources_.push_back(std::make_unique<DataSource>(DataSource{data_source, &query}));
  components_.push_back(data_sources_.back().get());
  CreateProvider(name, &query);
}

void ProviderService::AddDetailProvider(const std::string& name, const std::string& sql,
                                        const std::string& master_data_source) {
  driver::Query& query = CreateQuery(name, sql);
  for (const Component& c : components_) {
    DataSource* const* source = std::get_if<DataSource*>(&c);
    if (source && EqualsIgnoreCase((*source)->name, master_data_source)) {
      links_.emplace_back(&query, *source);
      break;
    }
  }
  CreateProvider(name, &query);
}

void ProviderService::AddParameter(const std::string& param, const Variant& value,
                                   const std::string& provider_name) {
  if (param == "Unassigned") return;
  for (const auto& provider : providers_) {
    if (provider->name() != provider_name) continue;
    const auto guard = LockFor(*provider);
    driver::Query* query = provider->query();
    if (!query) throw Error("Missing DataSet property");
    driver::Param& p = query->params().ByName(param);
    // Converted first: a value that fails to convert leaves the parameter
    // as it was, not typed and holding its old value.
    Value converted = ValueOfVariant(value);
    if (p.data_type == FieldType::Unknown) p.data_type = TypeOfVariant(value.type());
    p.value = std::move(converted);
    p.scale = ScaleOfVariant(value);
    // Empty leaves the parameter without a value of its own, so a master
    // row can still supply one.
    p.bound = !value.is_empty();
  }
}

void ProviderService::RemoveComponent(Component component) {
  std::erase(components_, component);
}

void ProviderService::DestroyProvider(const std::string& name) {
  for (auto it = providers_.rbegin(); it != providers_.rend(); ++it) {
    Provider& provider = **it;
    if (provider.name() != name) continue;
    driver::Query* query = provider.query();
    provider.set_query(nullptr);
    provider.opened_query = false;
    auto owned = std::find_if(queries_.begin(), queries_.end(),
                              [&](const auto& q) { return q.get() == query; });
    // A query of the shared modules serves every client: only this
    // object's provider lets go of it.
    if (owned == queries_.end()) return;
    for (auto& source : data_sources_) {
      if (source->dataset == query) source->dataset = nullptr;
    }
    std::erase_if(links_, [&](const auto& link) { return link.first == query; });
    RemoveComponent(query);
    queries_.erase(owned);
    return;
  }
}

void ProviderService::DestroyMasterProvider(const std::string& name,
                                            const std::string& data_source) {
  for (auto it = providers_.rbegin(); it != providers_.rend(); ++it) {
    if ((*it)->name() != name) continue;
    DestroyProvider(name);
    RemoveComponent(it->get());
    providers_.erase(std::next(it).base());
    break;
  }
  for (auto it = data_sources_.rbegin(); it != data_sources_.rend(); ++it) {
    if ((*it)->name != data_source) continue;
    DataSource* source = it->get();
    std::erase_if(links_, [&](const auto& link) { return link.second == source; });
    RemoveComponent(source);
    data_sources_.erase(std::next(it).base());
    break;
  }
}

}  // namespace orvala::providers
