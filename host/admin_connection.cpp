#include "host/admin_connection.h"

#include <firebird/Interface.h>

#include "common/error.h"
#include "driver/firebird_root.h"

namespace orvala::host {
namespace {

Firebird::IMaster* Master() {
  static Firebird::IMaster* master = [] {
    driver::EnsureFirebirdRoot();
    return Firebird::fb_get_master_interface();
  }();
  return master;
}

// Runs f with a throwing status and turns Firebird's failure into an Error
// carrying the engine's message.
template <typename F>
auto Call(F&& f) -> decltype(f(std::declval<Firebird::ThrowStatusWrapper&>())) {
  Firebird::ThrowStatusWrapper status(Master()->getStatus());
  struct Dispose {
    Firebird::ThrowStatusWrapper& s;
    ~Dispose() { s.dispose(); }
  } dispose{status};
  try {
    return f(status);
  } catch (const Firebird::FbException& e) {
    char buffer[2048];
    const unsigned length =
        Master()->getUtilInterface()->formatStatus(buffer, sizeof buffer, e.getStatus());
    std::string message(buffer, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    throw Error(message.empty() ? "Database error" : message);
  }
}

}  // namespace

AdminConnection::~AdminConnection() { Disconnect(); }

void AdminConnection::Connect() {
  if (attachment_) return;
  if (database_name_.empty()) throw Error("Database name is missing");
  attachment_ = Call([this](Firebird::ThrowStatusWrapper& status) {
    Firebird::IXpbBuilder* dpb = Master()->getUtilInterface()->getXpbBuilder(
        &status, Firebird::IXpbBuilder::DPB, nullptr, 0);
    struct Dispose {
      Firebird::IXpbBuilder* b;
      ~Dispose() { b->dispose(); }
    } dispose{dpb};
    dpb->insertString(&status, isc_dpb_user_name, kUserName);
    dpb->insertString(&status, isc_dpb_password, kPassword);
    dpb->insertInt(&status, isc_dpb_sql_dialect, kSqlDialect);
    return Master()->getDispatcher()->attachDatabase(&status, database_name_.c_str(),
                                                     dpb->getBufferLength(&status),
                                                     dpb->getBuffer(&status));
  });
}

void AdminConnection::StartTransaction() {
  if (transaction_) return;
  if (!attachment_) throw Error("Database not assigned");
  transaction_ = Call([this](Firebird::ThrowStatusWrapper& status) {
    return attachment_->startTransaction(&status, 0, nullptr);
  });
}

void AdminConnection::DeactivateTransaction() noexcept {
  if (!transaction_) return;
  try {
    Call([this](Firebird::ThrowStatusWrapper& status) { transaction_->rollback(&status); });
  } catch (const Error&) {
    transaction_->release();  // the handle is freed even when the server is gone
  }
  transaction_ = nullptr;
}

void AdminConnection::Disconnect() noexcept {
  // Firebird refuses to detach with a transaction open.
  DeactivateTransaction();
  if (!attachment_) return;
  try {
    Call([this](Firebird::ThrowStatusWrapper& status) { attachment_->detach(&status); });
  } catch (const Error&) {
    attachment_->release();
  }
  attachment_ = nullptr;
}

}  // namespace orvala::host
