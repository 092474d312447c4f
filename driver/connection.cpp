#include "driver/connection.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/codepage.h"
#include "common/error.h"
#include "driver/firebird_api.h"
#include "driver/query.h"

namespace orvala::driver {
namespace {

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

// The Firebird character set that matches the system code page, so that
// strings travel as the code page's bytes in both directions.
std::string FirebirdCharset() {
  const std::string name = ToUpperAscii(CodePage::System().name());
  struct Mapping {
    const char* iconv;
    const char* firebird;
  };
  static constexpr Mapping kMappings[] = {
      {"WINDOWS-1250", "WIN1250"}, {"WINDOWS-1251", "WIN1251"}, {"WINDOWS-1252", "WIN1252"},
      {"WINDOWS-1253", "WIN1253"}, {"WINDOWS-1254", "WIN1254"}, {"CP1252", "WIN1252"},
      {"ISO-8859-1", "ISO8859_1"}, {"ISO-8859-15", "ISO8859_15"}, {"ISO-8859-2", "ISO8859_2"},
  };
  for (const Mapping& m : kMappings) {
    if (name == m.iconv) return m.firebird;
  }
  return "NONE";
}

}  // namespace

Connection::Connection() = default;

Connection::~Connection() {
  Close();
  MutexLock lock(mutex_);
  for (Query* q : queries_) q->connection_ = nullptr;
  queries_.clear();
}

void Connection::SetParam(const std::string& name, const std::string& value) {
  MutexLock lock(mutex_);
  for (auto& [n, v] : params_) {
    if (EqualsIgnoreCase(n, name)) {
      v = value;
      return;
    }
  }
  params_.emplace_back(name, value);
}

void Connection::ClearParams() {
  MutexLock lock(mutex_);
  params_.clear();
}

bool Connection::has_params() const {
  MutexLock lock(mutex_);
  return !params_.empty();
}

std::string Connection::Param(const std::string& name) const {
  MutexLock lock(mutex_);
  for (const auto& [n, v] : params_) {
    if (EqualsIgnoreCase(n, name)) return v;
  }
  return "";
}

bool Connection::connected() const {
  MutexLock lock(mutex_);
  return attachment_ != nullptr;
}

void Connection::Open() {
  MutexLock lock(mutex_);
  Attachment();
}

Firebird::IAttachment* Connection::Attachment() {
  MutexLock lock(mutex_);
  if (attachment_) return attachment_;
  if (!has_params()) throw Error("Missing Database property");
  attachment_ = Attach(nullptr);
  return attachment_;
}

Firebird::IAttachment* Connection::Attach(const CreateSettings* create) {
  const std::string database = Trim(Param("Database"));
  if (database.empty()) throw Error("Missing Database property");
  const std::string user = Param("User_Name");
  const std::string password = Param("Password");
  return fb::Call([&](fb::Status& status) {
    const fb::Owned<Firebird::IXpbBuilder> owned_dpb =
        fb::Own(fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0));
    Firebird::IXpbBuilder* dpb = owned_dpb.get();
    if (!user.empty()) dpb->insertString(&status, isc_dpb_user_name, user.c_str());
    if (!password.empty()) dpb->insertString(&status, isc_dpb_password, password.c_str());
    dpb->insertString(&status, isc_dpb_lc_ctype, FirebirdCharset().c_str());
    Firebird::IProvider* provider = fb::Master()->getDispatcher();
    if (!create) {
      return provider->attachDatabase(&status, database.c_str(), dpb->getBufferLength(&status),
                                      dpb->getBuffer(&status));
    }
    dpb->insertString(&status, isc_dpb_set_db_charset, create->charset.c_str());
    dpb->insertInt(&status, isc_dpb_page_size, create->page_size);
    dpb->insertInt(&status, isc_dpb_sql_dialect, 3);
    dpb->insertInt(&status, isc_dpb_force_write, create->forced_writes ? 1 : 0);
    return provider->createDatabase(&status, database.c_str(), dpb->getBufferLength(&status),
                                    dpb->getBuffer(&status));
  });
}

void Connection::ExecuteImmediate(const std::string& sql, Transaction* tx) {
  MutexLock lock(mutex_);
  Firebird::IAttachment* attachment = Attachment();
  Firebird::ITransaction* handle = tx ? tx->handle_ : StartFirebirdTransaction();
  try {
    fb::Call([&](fb::Status& status) {
      attachment->execute(&status, handle, static_cast<unsigned>(sql.size()), sql.c_str(),
                          SQL_DIALECT_V6, nullptr, nullptr, nullptr, nullptr);
      if (!tx) handle->commit(&status);
    });
  } catch (...) {
    if (!tx) fb::CallQuietly([&](fb::Status& status) { handle->rollback(&status); });
    throw;
  }
}

void Connection::CreateDatabase(const std::string& charset, int page_size, bool forced_writes) {
  MutexLock lock(mutex_);
  if (attachment_) throw Error("The connection is already open");
  const CreateSettings settings{charset, page_size, forced_writes};
  attachment_ = Attach(&settings);
}

Firebird::ITransaction* Connection::StartFirebirdTransaction() {
  Firebird::IAttachment* attachment = Attachment();
  return fb::Call([&](fb::Status& status) {
    // Read committed with record versions, waiting a bounded time for
    // locks: a conflict surfaces as an error instead of hanging a client.
    static constexpr unsigned char kTpb[] = {
        isc_tpb_version3, isc_tpb_write,        isc_tpb_read_committed, isc_tpb_rec_version,
        isc_tpb_wait,     isc_tpb_lock_timeout, 1,                      30};
    return attachment->startTransaction(&status, sizeof kTpb, kTpb);
  });
}

void Connection::Close() {
  MutexLock lock(mutex_);
  for (Query* q : queries_) q->ReleaseForConnectionClose();
  for (Transaction* tx : transactions_) tx->Abandon();
  if (attachment_) {
    Firebird::IAttachment* attachment = attachment_;
    attachment_ = nullptr;
    fb::CallQuietly([&](fb::Status& status) { attachment->detach(&status); });
    // A failed detach leaves the handle for the client library to drop.
    attachment->release();
  }
}

bool Connection::CloseIfLost() {
  MutexLock lock(mutex_);
  if (!attachment_) return false;
  try {
    Firebird::IAttachment* attachment = attachment_;
    fb::Call([&](fb::Status& status) { attachment->ping(&status); });
    return false;
  } catch (const Error&) {
  }
  Close();
  return true;
}

void Connection::AttachQuery(Query* query) {
  MutexLock lock(mutex_);
  queries_.push_back(query);
}

void Connection::DetachQuery(Query* query) {
  MutexLock lock(mutex_);
  std::erase(queries_, query);
}

void Connection::AttachTransaction(Transaction* tx) {
  MutexLock lock(mutex_);
  transactions_.push_back(tx);
}

void Connection::DetachTransaction(Transaction* tx) {
  MutexLock lock(mutex_);
  std::erase(transactions_, tx);
}

Transaction::Transaction(Connection& connection) : connection_(connection) {
  std::lock_guard lock(connection_.mutex());
  handle_ = connection_.StartFirebirdTransaction();
  connection_.AttachTransaction(this);
}

Transaction::~Transaction() {
  Rollback();
  connection_.DetachTransaction(this);
}

void Transaction::Commit() {
  std::lock_guard lock(connection_.mutex());
  if (!handle_) throw Error("Transaction is not active");
  fb::Call([&](fb::Status& status) { handle_->commit(&status); });
  handle_ = nullptr;
}

void Transaction::Rollback() {
  std::lock_guard lock(connection_.mutex());
  if (!handle_) return;
  Firebird::ITransaction* handle = handle_;
  handle_ = nullptr;
  try {
    fb::Call([&](fb::Status& status) { handle->rollback(&status); });
  } catch (const Error&) {
    handle->release();
  }
}

void Transaction::Abandon() { Rollback(); }

}  // namespace orvala::driver
