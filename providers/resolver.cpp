#include "providers/resolver.h"

#include <climits>
#include <map>
#include <memory>

#include "common/error.h"
#include "providers/field_binding.h"
#include "providers/sql_names.h"
#include "providers/update_sql.h"

namespace orvala::providers {
namespace {

constexpr const char* kNoTable = "Unable to resolve records.  Table name not found.";
constexpr const char* kNotFound = "Record not found or changed by another user";
constexpr const char* kTooMany = "Update affected more than 1 record.";

// The walk of one apply call: its transaction, the error limit and the
// statements prepared so far (each distinct text once per call).
class Walk {
 public:
  Walk(const ResolveTarget& target, int32_t max_errors,
       driver::Transaction& tx)
      : target_(target), tx_(tx) {
    limit_ = max_errors == -1 ? INT32_MAX : max_errors;
  }

  // False when a failure ended the walk.
  // `path` leads from the top level to these rows: empty at the top.
  bool Rows(driver::Query& query, const std::string& table,
            const std::vector<packets::Field>& fields, const std::vector<packets::DeltaRow>& rows,
            const std::vector<packets::ErrorStep>& path) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const packets::DeltaRow& row = rows[i];
      const int32_t record = static_cast<int32_t>(i + 1);
      if (row.kind == packets::UpdateKind::Insert) {
        if (!Row(query, table, fields, row, record, path)) return false;
        if (!Details(fields, row, record, path)) return false;
      } else {
        if (!Details(fields, row, record, path)) return false;
        if (row.kind != packets::UpdateKind::Unmodified &&
            !Row(query, table, fields, row, record, path)) {
          return false;
        }
      }
    }
    return true;
  }

  int32_t error_count() const { return error_count_; }
  bool rolled_back() const { return rolled_back_; }
  packets::ErrorPacket& errors() { return errors_; }

 private:
  bool Details(const std::vector<packets::Field>& fields, const packets::DeltaRow& row,
               int32_t record, const std::vector<packets::ErrorStep>& path) {
    size_t nested = 0;
    for (const packets::Field& f : fields) {
      if (!f.is_nested()) continue;
      const size_t k = nested++;
      if (k >= row.details.size() || row.details[k].empty()) continue;
      driver::Query* detail = target_.detail ? target_.detail(f.name) : nullptr;
      if (!detail) {
        throw Error("No detail query for the nested field " + f.name);
      }
      const std::string table = TableNameFromSql(detail->sql_text());
      std::vector<packets::ErrorStep> below = path;
      below.push_back({record, f.name});
      if (!Rows(*detail, table, f.children, row.details[k], below)) return false;
    }
    return true;
  }

  bool Row(driver::Query& query, const std::string& table, const std::vector<packets::Field>& fields,
           const packets::DeltaRow& row, int32_t record,
           const std::vector<packets::ErrorStep>& path) {
    packets::ErrorRow failed;
    bool too_many = false;
    try {
      const bool top_level = path.empty();
      const HookOutcome outcome = top_level && target_.hook
                                      ? target_.hook(fields, row, row.kind, tx_)
                                      : HookOutcome::Declined;
      switch (outcome) {
        case HookOutcome::Applied: return true;
        case HookOutcome::RowNotFound: throw Error(kNotFound);
        case HookOutcome::Declined: break;
      }
      Run(query, table, fields, row);
      return true;
    } catch (const Error& e) {
      failed.message = e.message();
      failed.error_code = e.database_code();
    } catch (const TooManyRows&) {
      failed.message = kTooMany;
      too_many = true;
    }
    failed.record_number = record;
    failed.path = path;
    // The row as it failed, so that a client can show it: its own values,
    // without the nested deltas that went their own way.
    for (const packets::Field& f : fields) {
      if (!f.is_nested()) failed.fields.push_back(f);
    }
    failed.row = row;
    failed.row->details.clear();
    return Fail(std::move(failed), too_many);
  }

  struct TooManyRows {};

  void Run(driver::Query& query, const std::string& table,
           const std::vector<packets::Field>& fields, const packets::DeltaRow& row) {
    if (table.empty()) throw Error(kNoTable);
    driver::Connection* connection = query.connection();
    const std::string quote = connection ? connection->quote_char() : "\"";
    const UpdateStatement statement =
        BuildUpdateStatement(row.kind, fields, row, QuoteTableName(table, quote), quote);
    driver::Query& prepared = Prepared(statement.sql);
    for (size_t i = 0; i < statement.params.size() && i < prepared.params().size(); ++i) {
      BindFieldValue(prepared.params()[i], statement.params[i], statement.types[i],
                     statement.scales[i]);
    }
    const int64_t affected = prepared.Execute(&tx_);
    if (affected == 0) throw Error(kNotFound);
    if (affected > 1) throw TooManyRows{};
  }

  driver::Query& Prepared(const std::string& sql) {
    auto& slot = statements_[sql];
    if (!slot) {
      slot = std::make_unique<driver::Query>("resolver");
      slot->SetConnection(&tx_.connection());
      slot->SetSql({sql});
    }
    return *slot;
  }

  // Counts a failed row against the limit; false ends the walk. A statement
  // that changed several rows rolls the whole call back and ends the walk,
  // so that nothing of the call is committed piecemeal.
  bool Fail(packets::ErrorRow failed, bool rolls_back) {
    int32_t response = error_count_ < limit_ ? packets::kResponseSkip : packets::kResponseAbort;
    ++error_count_;
    if (error_count_ > limit_) {
      response = packets::kResponseAbort;
      limit_ = error_count_ - 1;
    }
    if (rolls_back) {
      response = packets::kResponseAbort;
      tx_.Rollback();
      rolled_back_ = true;
    }
    failed.response = response;
    failed.context.clear();
    failed.category = 1;
    errors_.rows.push_back(std::move(failed));
    return response != packets::kResponseAbort;
  }

  const ResolveTarget& target_;
  driver::Transaction& tx_;
  int32_t limit_ = 0;
  int32_t error_count_ = 0;
  bool rolled_back_ = false;
  packets::ErrorPacket errors_;
  std::map<std::string, std::unique_ptr<driver::Query>> statements_;
};

}  // namespace

ApplyResult ApplyDelta(const ResolveTarget& target, const packets::DeltaPacket& delta,
                       int32_t max_errors) {
  if (!target.query) throw Error("Missing DataSet property");
  driver::Connection* connection = target.query->connection();
  if (!connection) throw Error("SQLConnection property required for this operation");
  driver::Transaction tx(*connection);
  const std::string table = delta.table_name ? TableNameFromDelta(*delta.table_name)
                                             : TableNameFromSql(target.query->sql_text());
  Walk walk(target, max_errors, tx);
  walk.Rows(*target.query, table, delta.fields, delta.rows, {});
  ApplyResult result;
  result.error_count = walk.error_count();
  result.errors = std::move(walk.errors());
  if (!walk.rolled_back()) {
    if (max_errors == -1 || result.error_count <= max_errors) {
      tx.Commit();
    } else {
      tx.Rollback();
    }
  }
  return result;
}

}  // namespace orvala::providers
