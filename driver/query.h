// A query: SQL text with named parameters, run on a connection.
//
// A query opens a forward-only cursor (Open, Next) or executes a statement
// (Execute). Its parameter list is rebuilt from the SQL text whenever the
// text changes. Optional listed fields fix the columns that the query
// exposes, with their names and letter case, whatever else the SELECT
// returns. The prepared statement is kept while the SQL text stays the same.
//
// Thread safety: the methods that touch Firebird's handles (SetConnection,
// SetSql and its companions, SetListedFields, Prepare, Open, Next, Close,
// Execute) take the connection's mutex, so the connection can close the
// query from another thread. Everything else (the parameter list, the
// fields, the current row, the outputs, the SQL lines) is plain data that
// no lock covers: callers that share a query between threads (the
// catalogue) serialize every call with a lock of their own.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "driver/connection.h"
#include "driver/firebird_owned.h"
#include "driver/params.h"
#include "common/value.h"

namespace Firebird {
class IStatement;
class IResultSet;
class IMessageMetadata;
class IStatus;
}  // namespace Firebird

namespace orvala::driver {

struct ListedField {
  std::string name;
  FieldType type = FieldType::Integer;
  int size = 0;
  bool required = false;
};

class Query {
 public:
  explicit Query(std::string name = "");
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }

  // nullptr leaves the query without a connection: every use then fails with
  // "SQLConnection property required for this operation".
  void SetConnection(Connection* connection);
  Connection* connection() const;

  // The SQL as a list of lines. Every change closes the query, drops its
  // prepared statement and rebuilds the parameter list from the new text,
  // keeping the values of parameters whose names survive.
  void SetSql(std::vector<std::string> lines);
  void ClearSql() { SetSql({}); }
  void AddSqlLine(std::string line);
  const std::vector<std::string>& sql() const { return sql_; }
  std::string sql_text() const;  // the lines joined by line breaks

  ParamList& params() { return params_; }
  const ParamList& params() const { return params_; }
  // Replaces the whole list (a client's parameters sent with a fetch).
  void ReplaceParams(ParamList params);

  void SetListedFields(std::vector<ListedField> fields);

  // Prepares the statement, so that fields() describes its columns before
  // any parameter has a value.
  void Prepare();

  // Opens the cursor, inside `tx` when given, otherwise in a transaction of
  // its own that is committed when the query closes.
  void Open(Transaction* tx = nullptr);
  bool is_open() const;
  // Moves to the next row; false at the end.
  bool Next();
  // The fields of the open query, and the values of its current row.
  const std::vector<FieldInfo>& fields() const { return fields_; }
  const std::vector<Value>& row() const { return row_; }
  // The current row's values moved out, for a caller that keeps them:
  // row() is then empty until the next Next().
  std::vector<Value> TakeRow() { return std::exchange(row_, {}); }
  const Value& value(const std::string& field_name) const;  // "Field '%s' not found"
  int FieldIndex(const std::string& field_name) const;      // -1 when absent
  void Close();

  // Runs the statement; returns the rows it changed. Output values of an
  // executable procedure are kept in outputs().
  int64_t Execute(Transaction* tx = nullptr);
  const std::vector<FieldInfo>& output_fields() const { return output_fields_; }
  const std::vector<Value>& outputs() const { return outputs_; }
  const Value& output(const std::string& name) const;  // "Parameter '%s' not found"

  // How often a statement was prepared, for checking that reuse works.
  int prepare_count() const { return prepare_count_; }

 private:
  friend class Connection;
  void ReleaseForConnectionClose();
  // Opening and executing share these steps: the statement prepared and its
  // input bound, in `tx` or in a transaction of its own that is rolled back
  // when a step fails. `keep_open_cursor`: an open cursor stays as it is.
  using BoundStep = std::function<void(Firebird::ITransaction* handle, bool own_transaction,
                                       Firebird::IMessageMetadata* input_meta,
                                       unsigned char* input)>;
  void RunBound(Transaction* tx, bool keep_open_cursor, const BoundStep& step);
  void CloseLocked();
  void FreeStatementLocked();
  void PrepareLocked(Firebird::ITransaction* tx);
  Connection& RequireConnection() const;
  Firebird::ITransaction* TransactionFor(Transaction* tx, bool& own);
  // The input message of the next run, in four steps: the statement's own
  // description of its placeholders (once per prepare), the type each
  // value travels as, the message layout for those types (kept while they
  // stay the same) and the values written into it.
  std::vector<unsigned char> BuildInputLocked(Firebird::ITransaction* tx);
  void DescribeInputsLocked();
  struct InputType;
  std::vector<InputType> InputTypes() const;
  void LayOutInputLocked(const std::vector<InputType>& types);
  std::vector<unsigned char> WriteInputLocked(Firebird::ITransaction* tx);
  void DescribeColumns();
  void DecodeRow(const unsigned char* buffer, Firebird::ITransaction* tx,
                 const std::vector<int>& columns, std::vector<Value>& out);

  std::string name_;
  Connection* connection_ = nullptr;
  std::vector<std::string> sql_;
  ParamList params_;
  std::vector<ListedField> listed_;

  Firebird::IStatement* statement_ = nullptr;
  fb::Owned<Firebird::IMessageMetadata> output_meta_;
  std::vector<FieldInfo> columns_;  // every column the statement returns
  // Where each column sits in the output message, read once per prepare:
  // asking the metadata for every value of every row costs more than the
  // fetch itself.
  struct ColumnSlot {
    unsigned type, length, offset, null_offset;
    int scale;
  };
  std::vector<ColumnSlot> slots_;
  // The input message: the parameters as the statement describes them,
  // and the last message layout built for the values' kinds, reused for
  // as long as the next values need the same one.
  struct InputType {
    unsigned type = 0, length = 0;
    int scale = 0, sub_type = 0;
    unsigned charset = 0;
    friend bool operator==(const InputType&, const InputType&) = default;
  };
  std::vector<InputType> described_inputs_;
  bool inputs_described_ = false;
  std::vector<InputType> input_types_;
  fb::Owned<Firebird::IMessageMetadata> input_meta_;
  std::vector<std::pair<unsigned, unsigned>> input_offsets_;  // value, null flag
  unsigned input_length_ = 0;
  std::vector<int> exposed_;        // indexes into columns_, in field order
  std::vector<FieldInfo> fields_;
  std::vector<Value> row_;
  std::vector<unsigned char> row_buffer_;

  Firebird::IResultSet* cursor_ = nullptr;
  fb::Owned<Firebird::IStatus> fetch_status_;  // kept for the fetch of row after row
  Firebird::ITransaction* cursor_tx_ = nullptr;
  bool cursor_owns_tx_ = false;

  std::vector<FieldInfo> output_fields_;
  std::vector<Value> outputs_;
  int prepare_count_ = 0;
};

}  // namespace orvala::driver
