#include "driver/query.h"

#include <algorithm>
#include <cstring>

#include "common/ascii.h"
#include "common/error.h"
#include "driver/firebird_api.h"
#include "driver/sql_params.h"

namespace orvala::driver {
namespace {

using Firebird::IMessageMetadata;
using Firebird::ITransaction;

constexpr const char* kNoConnection = "SQLConnection property required for this operation";
constexpr const char* kNoSql = "Missing query, table name or procedure name";

int BytesPerChar(unsigned charset) {
  switch (charset) {
    case 3: return 3;  // UNICODE_FSS
    case 4: return 4;  // UTF8
    default: return 1;
  }
}

FieldInfo Describe(fb::Status& status, IMessageMetadata* meta, unsigned i) {
  FieldInfo f;
  f.name = meta->getAlias(&status, i);
  f.relation = meta->getRelation(&status, i);
  // An expression's column comes from no relation: Firebird still names
  // it after the expression ("CAST", "CONCATENATION"), which is no column
  // that an update could write.
  if (!f.relation.empty()) f.origin = meta->getField(&status, i);
  f.required = !meta->isNullable(&status, i);
  const unsigned type = meta->getType(&status, i) & ~1u;
  const int scale = meta->getScale(&status, i);
  const unsigned length = meta->getLength(&status, i);
  f.scale = -scale;
  switch (type) {
    case SQL_TEXT:
    case SQL_VARYING:
      f.type = FieldType::String;
      f.size = static_cast<int>(length) / BytesPerChar(meta->getCharSet(&status, i));
      break;
    case SQL_SHORT: f.type = scale ? FieldType::BigInt : FieldType::SmallInt; f.size = 2; break;
    case SQL_LONG: f.type = scale ? FieldType::BigInt : FieldType::Integer; f.size = 4; break;
    case SQL_INT64: f.type = FieldType::BigInt; f.size = 8; break;
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_D_FLOAT: f.type = FieldType::Double; f.size = 8; break;
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: f.type = FieldType::Timestamp; f.size = 8; break;
    case SQL_BLOB:
      f.type = meta->getSubType(&status, i) == 1 ? FieldType::Memo : FieldType::Blob;
      f.size = 8;
      break;
    case SQL_BOOLEAN: f.type = FieldType::Boolean; f.size = 1; break;
    default: f.type = FieldType::Unknown; break;
  }
  return f;
}

// A listed field accepts a column of its own kind; a 16-bit integer column
// counts as an integer.
bool Compatible(FieldType listed, FieldType column) {
  if (listed == column) return true;
  return listed == FieldType::Integer && column == FieldType::SmallInt;
}

template <typename T>
T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void Store(unsigned char* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

std::string ReadBlob(fb::Status& status, Firebird::IAttachment* attachment, ITransaction* tx,
                     ISC_QUAD id) {
  Firebird::IBlob* blob = attachment->openBlob(&status, tx, &id, 0, nullptr);
  std::string out;
  char chunk[16384];
  for (;;) {
    unsigned got = 0;
    const int rc = blob->getSegment(&status, sizeof chunk, chunk, &got);
    if (rc == Firebird::IStatus::RESULT_NO_DATA) break;
    out.append(chunk, got);
  }
  blob->close(&status);
  return out;
}

ISC_QUAD WriteBlob(fb::Status& status, Firebird::IAttachment* attachment, ITransaction* tx,
                   const std::string& data) {
  ISC_QUAD id{};
  Firebird::IBlob* blob = attachment->createBlob(&status, tx, &id, 0, nullptr);
  for (size_t at = 0; at < data.size(); at += 32768) {
    const size_t n = std::min<size_t>(32768, data.size() - at);
    blob->putSegment(&status, static_cast<unsigned>(n), data.data() + at);
  }
  blob->close(&status);
  return id;
}

}  // namespace

Query::Query(std::string name) : name_(std::move(name)) {}

Query::~Query() {
  SetConnection(nullptr);
  CloseLocked();
  FreeStatementLocked();
}

void Query::SetConnection(Connection* connection) {
  if (connection_ == connection) return;
  if (connection_) {
    std::lock_guard lock(connection_->mutex());
    CloseLocked();
    FreeStatementLocked();
    connection_->DetachQuery(this);
  }
  connection_ = connection;
  if (connection_) connection_->AttachQuery(this);
}

Connection* Query::connection() const { return connection_; }

Connection& Query::RequireConnection() const {
  if (!connection_) throw Error(kNoConnection);
  return *connection_;
}

std::string Query::sql_text() const {
  std::string text;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i) text += '\n';
    text += sql_[i];
  }
  return text;
}

void Query::SetSql(std::vector<std::string> lines) {
  for (const std::string& line : lines) CheckSqlText(line);
  auto reset = [&] {
    CloseLocked();
    FreeStatementLocked();
    sql_ = std::move(lines);
    ParamList rebuilt;
    std::vector<Param> fresh;
    for (const std::string& n : ParseSqlParams(sql_text()).names) {
      Param p;
      p.name = n;
      if (const Param* old = params_.Find(n)) p = *old, p.name = n;
      fresh.push_back(std::move(p));
    }
    params_ = ParamList(std::move(fresh));
  };
  if (connection_) {
    std::lock_guard lock(connection_->mutex());
    reset();
  } else {
    reset();
  }
}

void Query::AddSqlLine(std::string line) {
  std::vector<std::string> lines = sql_;
  lines.push_back(std::move(line));
  SetSql(std::move(lines));
}

void Query::ReplaceParams(ParamList params) { params_ = std::move(params); }

void Query::SetListedFields(std::vector<ListedField> fields) {
  listed_ = std::move(fields);
  if (connection_) {
    std::lock_guard lock(connection_->mutex());
    CloseLocked();
    FreeStatementLocked();
  }
}

bool Query::is_open() const { return cursor_ != nullptr; }

ITransaction* Query::TransactionFor(Transaction* tx, bool& own) {
  if (tx) {
    if (&tx->connection() != connection_ || !tx->active()) {
      throw Error("Transaction does not belong to the query's connection");
    }
    own = false;
    return tx->handle_;
  }
  own = true;
  return connection_->StartFirebirdTransaction();
}

void Query::PrepareLocked(ITransaction* tx) {
  if (statement_) return;
  const ParsedSql parsed = ParseSqlParams(sql_text());
  Firebird::IAttachment* attachment = connection_->Attachment();
  fb::Call([&](fb::Status& status) {
    statement_ = attachment->prepare(&status, tx, static_cast<unsigned>(parsed.text.size()),
                                     parsed.text.c_str(), SQL_DIALECT_V6,
                                     Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    output_meta_ = fb::Own(statement_->getOutputMetadata(&status));
  });
  ++prepare_count_;
  try {
    DescribeColumns();
  } catch (...) {
    FreeStatementLocked();
    throw;
  }
}

void Query::DescribeColumns() {
  columns_.clear();
  exposed_.clear();
  fields_.clear();
  fb::Call([&](fb::Status& status) {
    const unsigned count = output_meta_->getCount(&status);
    slots_.clear();
    for (unsigned i = 0; i < count; ++i) {
      columns_.push_back(Describe(status, output_meta_.get(), i));
      slots_.push_back({output_meta_->getType(&status, i) & ~1u, output_meta_->getLength(&status, i),
                        output_meta_->getOffset(&status, i), output_meta_->getNullOffset(&status, i),
                        output_meta_->getScale(&status, i)});
    }
  });
  if (listed_.empty()) {
    for (size_t i = 0; i < columns_.size(); ++i) {
      exposed_.push_back(static_cast<int>(i));
      fields_.push_back(columns_[i]);
    }
    return;
  }
  for (const ListedField& listed : listed_) {
    int found = -1;
    for (size_t i = 0; i < columns_.size() && found < 0; ++i) {
      if (EqualsIgnoreCase(columns_[i].name, listed.name)) found = static_cast<int>(i);
    }
    if (found < 0) throw Error(name_ + ": " + Format("Field '%s' not found", listed.name));
    const FieldInfo& column = columns_[static_cast<size_t>(found)];
    if (!Compatible(listed.type, column.type)) {
      throw Error(name_ + ": Type mismatch for field '" + listed.name +
                  "', expecting: " + FieldTypeName(listed.type) +
                  " actual: " + FieldTypeName(column.type));
    }
    FieldInfo f = column;
    f.name = listed.name;
    f.type = listed.type;
    f.size = listed.type == FieldType::String ? listed.size : column.size;
    f.required = listed.required;
    exposed_.push_back(found);
    fields_.push_back(std::move(f));
  }
}

void Query::DescribeInputsLocked() {
  if (inputs_described_) return;
  fb::Call([&](fb::Status& status) {
    const fb::Owned<IMessageMetadata> described = fb::Own(statement_->getInputMetadata(&status));
    described_inputs_.clear();
    const unsigned n = described->getCount(&status);
    for (unsigned i = 0; i < n; ++i) {
      described_inputs_.push_back({described->getType(&status, i) & ~1u,
                                   described->getLength(&status, i),
                                   described->getScale(&status, i),
                                   described->getSubType(&status, i),
                                   described->getCharSet(&status, i)});
    }
  });
  inputs_described_ = true;
}

// Each value travels as its own kind, a null as the statement describes
// its placeholder.
std::vector<Query::InputType> Query::InputTypes() const {
  std::vector<InputType> types(params_.size());
  for (size_t i = 0; i < params_.size(); ++i) {
    const Param& p = params_[i];
    const InputType& wanted = described_inputs_[i];
    if (p.is_null()) {
      types[i] = wanted;
      types[i].type |= 1;
      continue;
    }
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          // An integer's scale tells the database where its decimal
          // point stands, so a scaled amount arrives as the amount.
          if constexpr (std::is_same_v<T, int16_t>) {
            types[i] = {SQL_SHORT | 1, 2, -p.scale};
          } else if constexpr (std::is_same_v<T, int32_t>) {
            types[i] = {SQL_LONG | 1, 4, -p.scale};
          } else if constexpr (std::is_same_v<T, int64_t>) {
            types[i] = {SQL_INT64 | 1, 8, -p.scale};
          } else if constexpr (std::is_same_v<T, double>) {
            types[i] = {SQL_DOUBLE | 1, 8};
          } else if constexpr (std::is_same_v<T, Timestamp>) {
            types[i] = {SQL_TIMESTAMP | 1, 8};
          } else if constexpr (std::is_same_v<T, bool>) {
            types[i] = {SQL_BOOLEAN | 1, 1};
          } else if constexpr (std::is_same_v<T, std::string>) {
            if (wanted.type == SQL_BLOB) {
              types[i] = {SQL_BLOB | 1, sizeof(ISC_QUAD), 0, wanted.sub_type};
            } else {
              if (v.size() > 32765) throw Error("String parameter '" + p.name + "' is too long");
              // A VARYING carries its own length, so a message sized for
              // the column serves every value that fits it, row after row.
              const unsigned size = static_cast<unsigned>(v.size());
              types[i] = {SQL_VARYING | 1, std::max({1u, wanted.length, size})};
            }
          }
        },
        p.value);
  }
  return types;
}

void Query::LayOutInputLocked(const std::vector<InputType>& types) {
  if (input_meta_ && types == input_types_) return;
  fb::Call([&](fb::Status& status) {
    const unsigned count = static_cast<unsigned>(types.size());
    const fb::Owned<Firebird::IMetadataBuilder> builder =
        fb::Own(fb::Master()->getMetadataBuilder(&status, count));
    for (unsigned i = 0; i < count; ++i) {
      builder->setType(&status, i, types[i].type);
      builder->setLength(&status, i, types[i].length);
      builder->setScale(&status, i, types[i].scale);
      builder->setSubType(&status, i, types[i].sub_type);
      builder->setCharSet(&status, i, types[i].charset);
    }
    fb::Owned<IMessageMetadata> meta = fb::Own(builder->getMetadata(&status));
    input_offsets_.clear();
    for (unsigned i = 0; i < count; ++i) {
      input_offsets_.emplace_back(meta->getOffset(&status, i), meta->getNullOffset(&status, i));
    }
    input_length_ = meta->getMessageLength(&status);
    input_meta_ = std::move(meta);
  });
  input_types_ = types;
}

std::vector<unsigned char> Query::WriteInputLocked(ITransaction* tx) {
  std::vector<unsigned char> buffer(input_length_, 0);
  Firebird::IAttachment* attachment = connection_->Attachment();
  fb::Call([&](fb::Status& status) {
    for (size_t i = 0; i < params_.size(); ++i) {
      const Param& p = params_[i];
      unsigned char* at = buffer.data() + input_offsets_[i].first;
      Store<int16_t>(buffer.data() + input_offsets_[i].second, p.is_null() ? -1 : 0);
      if (p.is_null()) continue;
      std::visit(
          [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Timestamp>) {
              Store<int32_t>(at, v.day);
              Store<uint32_t>(at + 4, v.time);
            } else if constexpr (std::is_same_v<T, bool>) {
              *at = v ? 1 : 0;
            } else if constexpr (std::is_same_v<T, std::string>) {
              if ((input_types_[i].type & ~1u) == SQL_BLOB) {
                Store<ISC_QUAD>(at, WriteBlob(status, attachment, tx, v));
              } else {
                Store<uint16_t>(at, static_cast<uint16_t>(v.size()));
                std::memcpy(at + 2, v.data(), v.size());
              }
            } else if constexpr (!std::is_same_v<T, std::monostate>) {
              Store<T>(at, v);
            }
          },
          p.value);
    }
  });
  return buffer;
}

std::vector<unsigned char> Query::BuildInputLocked(ITransaction* tx) {
  for (const Param& p : params_) {
    if (p.data_type == FieldType::Unknown) {
      throw Error(Format("No value for parameter '%s'", p.name));
    }
  }
  DescribeInputsLocked();
  if (described_inputs_.size() != params_.size()) {
    throw Error("Parameter count mismatch: the statement takes " +
                std::to_string(described_inputs_.size()) + ", the query has " +
                std::to_string(params_.size()));
  }
  LayOutInputLocked(InputTypes());
  return WriteInputLocked(tx);
}

namespace {

// A string value overwritten where the row already holds one, so that a
// row read after row keeps its strings' buffers.
void AssignText(Value& v, const unsigned char* at, size_t length) {
  const char* text = reinterpret_cast<const char*>(at);
  if (auto* held = std::get_if<std::string>(&v)) {
    held->assign(text, length);
  } else {
    v.emplace<std::string>(text, length);
  }
}

}  // namespace

void Query::DecodeRow(const unsigned char* buffer, ITransaction* tx,
                      const std::vector<int>& columns, std::vector<Value>& out) {
  out.resize(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) {
    const ColumnSlot& slot = slots_[static_cast<size_t>(columns[k])];
    Value& v = out[k];
    if (Load<int16_t>(buffer + slot.null_offset) != 0) {
      v = std::monostate{};
      continue;
    }
    const unsigned char* at = buffer + slot.offset;
    switch (slot.type) {
      case SQL_TEXT: AssignText(v, at, slot.length); break;
      case SQL_VARYING: AssignText(v, at + 2, Load<uint16_t>(at)); break;
      case SQL_SHORT:
        if (slot.scale) v = static_cast<int64_t>(Load<int16_t>(at));
        else v = Load<int16_t>(at);
        break;
      case SQL_LONG:
        if (slot.scale) v = static_cast<int64_t>(Load<int32_t>(at));
        else v = Load<int32_t>(at);
        break;
      case SQL_INT64: v = Load<int64_t>(at); break;
      case SQL_FLOAT: v = static_cast<double>(Load<float>(at)); break;
      case SQL_DOUBLE:
      case SQL_D_FLOAT: v = Load<double>(at); break;
      case SQL_TIMESTAMP: v = Timestamp{Load<int32_t>(at), Load<uint32_t>(at + 4)}; break;
      case SQL_TYPE_DATE: v = Timestamp{Load<int32_t>(at), 0}; break;
      case SQL_TYPE_TIME: v = Timestamp{0, Load<uint32_t>(at)}; break;
      case SQL_BOOLEAN: v = *at != 0; break;
      case SQL_BLOB:
        v = fb::Call([&](fb::Status& status) {
          return ReadBlob(status, connection_->Attachment(), tx, Load<ISC_QUAD>(at));
        });
        break;
      default: throw Error("Unsupported column type " + std::to_string(slot.type));
    }
  }
  // A listed integer field shows a 16-bit column at the listed width.
  if (&columns == &exposed_) {
    for (size_t k = 0; k < out.size(); ++k) {
      if (fields_[k].type == FieldType::Integer) {
        if (const auto* small = std::get_if<int16_t>(&out[k])) out[k] = int32_t{*small};
      }
    }
  }
}

void Query::RunBound(Transaction* tx, bool keep_open_cursor, const BoundStep& step) {
  if (sql_text().find_first_not_of(" \t\r\n") == std::string::npos) throw Error(kNoSql);
  Connection& connection = RequireConnection();
  std::lock_guard lock(connection.mutex());
  if (keep_open_cursor && cursor_) return;
  CloseLocked();
  bool own = false;
  ITransaction* handle = TransactionFor(tx, own);
  try {
    PrepareLocked(handle);
    std::vector<unsigned char> input = BuildInputLocked(handle);
    step(handle, own, input_meta_.get(), input.data());
  } catch (...) {
    if (own) fb::CallQuietly([&](fb::Status& status) { handle->rollback(&status); });
    throw;
  }
}

void Query::Open(Transaction* tx) {
  RunBound(tx, true, [&](ITransaction* handle, bool own, IMessageMetadata* in, unsigned char* input) {
    cursor_ = fb::Call([&](fb::Status& status) {
      return statement_->openCursor(&status, handle, in, input, output_meta_.get(), 0);
    });
    row_buffer_.assign(fb::Call([&](fb::Status& s) { return output_meta_->getMessageLength(&s); }),
                       0);
    row_.clear();
    cursor_tx_ = handle;
    cursor_owns_tx_ = own;
  });
}

void Query::Prepare() {
  if (sql_text().find_first_not_of(" \t\r\n") == std::string::npos) throw Error(kNoSql);
  Connection& connection = RequireConnection();
  std::lock_guard lock(connection.mutex());
  if (statement_) return;
  ITransaction* handle = connection.StartFirebirdTransaction();
  try {
    PrepareLocked(handle);
  } catch (...) {
    fb::CallQuietly([&](fb::Status& status) { handle->rollback(&status); });
    throw;
  }
  fb::CallQuietly([&](fb::Status& status) { handle->commit(&status); });
}

bool Query::Next() {
  Connection& connection = RequireConnection();
  std::lock_guard lock(connection.mutex());
  if (!cursor_) return false;
  if (!fetch_status_) fetch_status_ = fb::Own(fb::Master()->getStatus());
  const int rc = fb::CallWith(fetch_status_.get(), [&](fb::Status& status) {
    return cursor_->fetchNext(&status, row_buffer_.data());
  });
  if (rc != Firebird::IStatus::RESULT_OK) {
    row_.clear();
    return false;
  }
  DecodeRow(row_buffer_.data(), cursor_tx_, exposed_, row_);
  return true;
}

int Query::FieldIndex(const std::string& field_name) const {
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (EqualsIgnoreCase(fields_[i].name, field_name)) return static_cast<int>(i);
  }
  return -1;
}

const Value& Query::value(const std::string& field_name) const {
  const int i = FieldIndex(field_name);
  if (i < 0 || static_cast<size_t>(i) >= row_.size()) {
    throw Error(name_ + ": " + Format("Field '%s' not found", field_name));
  }
  return row_[static_cast<size_t>(i)];
}

void Query::Close() {
  if (!connection_) {
    CloseLocked();
    return;
  }
  std::lock_guard lock(connection_->mutex());
  CloseLocked();
}

void Query::CloseLocked() {
  row_.clear();
  if (!cursor_) return;
  Firebird::IResultSet* cursor = cursor_;
  ITransaction* tx = cursor_tx_;
  const bool own = cursor_owns_tx_;
  cursor_ = nullptr;
  cursor_tx_ = nullptr;
  fb::CallQuietly([&](fb::Status& status) { cursor->close(&status); });
  // What a selectable procedure wrote while it ran is kept, as for any
  // statement that runs on its own.
  if (own) {
    try {
      fb::Call([&](fb::Status& status) { tx->commit(&status); });
    } catch (const Error&) {
      fb::CallQuietly([&](fb::Status& status) { tx->rollback(&status); });
    }
  }
}

void Query::FreeStatementLocked() {
  input_meta_.reset();
  input_types_.clear();
  described_inputs_.clear();
  inputs_described_ = false;
  output_meta_.reset();
  if (statement_) {
    Firebird::IStatement* statement = statement_;
    statement_ = nullptr;
    fb::CallQuietly([&](fb::Status& status) { statement->free(&status); });
  }
}

void Query::ReleaseForConnectionClose() {
  CloseLocked();
  FreeStatementLocked();
}

int64_t Query::Execute(Transaction* tx) {
  int64_t affected = 0;
  RunBound(tx, false, [&](ITransaction* handle, bool own, IMessageMetadata* in, unsigned char* input) {
    std::vector<unsigned char> output(
        fb::Call([&](fb::Status& s) { return output_meta_->getMessageLength(&s); }), 0);
    affected = fb::Call([&](fb::Status& status) {
      const bool returns = !columns_.empty();
      statement_->execute(&status, handle, in, input, returns ? output_meta_.get() : nullptr,
                          returns ? output.data() : nullptr);
      return static_cast<int64_t>(statement_->getAffectedRecords(&status));
    });
    output_fields_ = columns_;
    std::vector<int> all(columns_.size());
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int>(i);
    DecodeRow(output.data(), handle, all, outputs_);
    if (own) fb::Call([&](fb::Status& status) { handle->commit(&status); });
  });
  return affected;
}

const Value& Query::output(const std::string& name) const {
  for (size_t i = 0; i < output_fields_.size() && i < outputs_.size(); ++i) {
    if (EqualsIgnoreCase(output_fields_[i].name, name)) return outputs_[i];
  }
  throw Error(Format("Parameter '%s' not found", name));
}

}  // namespace orvala::driver
