// The client dataset: the rows of one provider held on the client, edited
// there, and sent back as one delta packet.
//
// It loads data packets (the first with field descriptions, later slices
// appending rows), moves through the rows, reads and writes fields by name
// (without regard to case), inserts and deletes rows, and keeps a change
// log from which it builds the delta: the old values of modified and
// deleted rows, new values only for the fields that changed (a field set
// to null is a change; a field left alone is not), inserts with only the
// fields that were set, and nested deltas for the rows of nested tables.
// A master row that did not change travels only as the parent of changed
// detail rows. The delta's rows follow the order in which the changes were
// made, so that a delete and a re-insert of the same key apply in order.
//
// Strings are the packet's single-byte bytes, exactly as the database gave
// them; GetText and SetText convert through the packet's code page.
//
// A ClientDataset is a plain value owned by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "common/variant.h"
#include "packets/packet.h"

namespace orvala::client {

class ClientDataset;

// A row of the last apply that failed, as the error packet names it. A
// detail row of a nested delta is named by the error's path (master record,
// nested field, detail record); its position is then among the rows of
// that master row's nested table.
struct RowError {
  packets::ErrorRow error;
  packets::UpdateKind kind = packets::UpdateKind::Unmodified;
  // Where the row stands among the visible rows of the dataset that holds
  // it; nullopt for a deleted row.
  std::optional<size_t> position;
  std::vector<Value> old_values;  // empty for an inserted row
  std::vector<Value> values;      // as the client holds it now
};

class ClientDataset {
 public:
  ClientDataset() = default;

  // The first packet must carry field descriptions; a later packet appends
  // its rows (a later packet with descriptions must describe the same
  // fields). Fails with an Error on a packet that does not fit, and then
  // appends nothing. The rows of a packet given as a temporary are moved
  // into the dataset, not copied.
  void AppendData(packets::DataPacket&& packet);
  void AppendData(const packets::DataPacket& packet);
  // A packet as a provider operation returns it; null appends nothing.
  void AppendData(const Variant& packet);

  const std::vector<packets::Field>& fields() const { return fields_; }
  const std::string& code_page() const { return code_page_; }
  // The index of a plain or nested field, without regard to case.
  std::optional<size_t> FieldIndex(std::string_view name) const;

  // Rows that are not deleted, in their order.
  size_t row_count() const { return rows_.size(); }
  size_t position() const { return position_; }
  bool eof() const { return position_ >= rows_.size(); }
  void First() { position_ = 0; }
  void Next() {
    if (!eof()) ++position_;
  }
  void MoveTo(size_t position);

  // The current row's values. Each fails with an Error when there is no
  // current row or no plain field of that name.
  const Value& Get(std::string_view field) const;
  bool IsNull(std::string_view field) const { return orvala::IsNull(Get(field)); }
  // Null reads as the empty text.
  std::u16string GetText(std::string_view field) const;
  // The value is converted to the field's kind (integers between widths
  // when in range, integers to doubles); anything else fails.
  void Set(std::string_view field, Value value);
  void SetNull(std::string_view field) { Set(field, Value{}); }
  void SetText(std::string_view field, std::u16string_view text);

  // The rows of a nested field in the current row, as a dataset of their own.
  ClientDataset& Detail(std::string_view nested_field);
  const ClientDataset& Detail(std::string_view nested_field) const;

  // Appends an empty row and makes it current.
  void Insert();
  // Deletes the current row; the next row becomes current.
  void Delete();

  // The change state of the current row.
  packets::UpdateKind row_kind() const;
  // The message of the current row's failure in the last reconciled apply.
  const std::optional<std::string>& row_error() const;

  bool has_changes() const;
  packets::DeltaPacket Delta() const;

  // The error packet of an apply read against the delta that Delta() gave
  // (unchanged since): record N is row N of the delta's list that the
  // error's path leads to (the top level when it has none). Fails with an
  // Error when the packet names a row that the delta does not hold.
  std::vector<RowError> MatchErrors(const packets::ErrorPacket& errors) const;
  // After an apply: when the call committed (no row was answered with
  // "abort"), every row that did not fail is merged, detail rows included;
  // the failing rows, master or detail, keep their changes and their
  // messages. When it did not commit, nothing is merged and the messages
  // are attached.
  void Reconcile(const packets::ErrorPacket& errors);
  // Accepts every change: the current values become the rows' originals.
  void MergeChangeLog();

 private:
  // A fetched row holds its values once: the originals are saved only when
  // the row is first changed, since most rows of a large fetch never are.
  struct Row {
    std::vector<Value> values;                   // one per plain field
    // The values before the first change since the row was fetched or
    // merged; nullopt while there was none (then they are `values`).
    std::optional<std::vector<Value>> saved;
    bool inserted = false;                       // inserted on the client
    std::vector<bool> assigned;                  // per plain field, inserted rows only
    std::vector<ClientDataset> details;          // one per nested field
    uint64_t changed_at = 0;                     // order of its own first change; 0 none
    std::optional<std::string> error;
    bool deleted = false;
  };
  // A delta row with the row it came from: rows_[index], or deleted_[index].
  struct Change {
    uint64_t order;
    bool deleted;
    size_t index;
    packets::DeltaRow delta;
  };

  void Describe(std::vector<packets::Field> fields, std::string code_page);
  Row MakeRow(packets::Row&& packet_row) const;
  Row EmptyRow() const;
  // The row's values as fetched or last merged; an inserted row has none.
  static const std::vector<Value>& Original(const Row& row) {
    return row.saved ? *row.saved : row.values;
  }
  size_t PlainIndex(std::string_view field) const;
  Row& Current();
  const Row& Current() const;
  static packets::UpdateKind KindOf(const Row& row);
  std::vector<Change> Changes() const;
  std::optional<Change> ChangeOf(const Row& row, bool deleted, size_t index) const;
  uint64_t EarliestChange() const;  // 0 when there is none
  void MergeRow(Row& row);
  void MergeOwnValues(Row& row);
  // The dataset and the change that an error row names, its path walked
  // down from this dataset.
  std::pair<const ClientDataset*, Change> Locate(const packets::ErrorRow& error) const;
  // Reconciles this dataset's changes with the errors that fall in it or
  // below it; `depth` is the length of the path that leads here.
  void ReconcileLevel(const std::vector<const packets::ErrorRow*>& errors, size_t depth,
                      bool committed);
  void Touch(Row& row);

  std::string code_page_ = "WINDOWS-1252";
  bool described_ = false;
  std::vector<packets::Field> fields_;
  std::vector<size_t> plain_of_field_;   // per field: its index among the plain fields
  std::vector<size_t> nested_of_field_;  // per field: its index among the nested fields
  std::vector<Row> rows_;
  std::vector<Row> deleted_;
  size_t position_ = 0;
};

}  // namespace orvala::client
