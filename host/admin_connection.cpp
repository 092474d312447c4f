#include "host/admin_connection.h"

#include "common/error.h"
#include "driver/administrator.h"
#include "driver/firebird_api.h"

namespace orvala::host {
namespace fb = driver::fb;
using fb::Call;
using fb::Status;

AdminConnection::~AdminConnection() { Disconnect(); }

void AdminConnection::Connect() {
  if (attachment_) return;
  if (database_name_.empty()) throw Error("Database name is missing");
  attachment_ = Call([this](Status& status) {
    const fb::Owned<Firebird::IXpbBuilder> owned_dpb =
        fb::Own(fb::Util()->getXpbBuilder(&status, Firebird::IXpbBuilder::DPB, nullptr, 0));
    Firebird::IXpbBuilder* dpb = owned_dpb.get();
    dpb->insertString(&status, isc_dpb_user_name, driver::kAdministratorUser);
    dpb->insertString(&status, isc_dpb_password, driver::kAdministratorPassword);
    dpb->insertInt(&status, isc_dpb_sql_dialect, kSqlDialect);
    return fb::Master()->getDispatcher()->attachDatabase(&status, database_name_.c_str(),
                                                         dpb->getBufferLength(&status),
                                                         dpb->getBuffer(&status));
  });
}

void AdminConnection::StartTransaction() {
  if (transaction_) return;
  if (!attachment_) throw Error("Database not assigned");
  transaction_ = Call([this](Status& status) {
    return attachment_->startTransaction(&status, 0, nullptr);
  });
}

void AdminConnection::DeactivateTransaction() noexcept {
  if (!transaction_) return;
  try {
    Call([this](Status& status) { transaction_->rollback(&status); });
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
    Call([this](Status& status) { attachment_->detach(&status); });
  } catch (const Error&) {
    attachment_->release();
  }
  attachment_ = nullptr;
}

}  // namespace orvala::host
