// The administration window's own attachment to the database.
//
// It is made directly through the Firebird client, apart from the remote
// objects' connections, so that opening the window tests the stored location
// as an operator sees it and never disturbs a client's work: user "SYSDBA",
// SQL dialect 1, one transaction of its own. It never disconnects by itself.
//
// Thread safety: none; it belongs to the window's (the main) thread.
#pragma once

#include <string>

namespace Firebird {
class IAttachment;
class ITransaction;
}  // namespace Firebird

namespace orvala::host {

class AdminConnection {
 public:
  static constexpr int kSqlDialect = 1;

  AdminConnection() = default;
  ~AdminConnection();  // disconnects
  AdminConnection(const AdminConnection&) = delete;
  AdminConnection& operator=(const AdminConnection&) = delete;

  // The database to attach to, as stored: a path or "host:/path".
  void set_database_name(std::string name) { database_name_ = std::move(name); }
  const std::string& database_name() const { return database_name_; }

  // Attaches; does nothing when attached. Throws Error with Firebird's own
  // message, or "Database name is missing" for an empty name (which the
  // engine would otherwise read as a file in its working directory).
  void Connect();
  // Starts the transaction on the attachment; does nothing when one is
  // active. Throws Error when not attached or when Firebird refuses.
  void StartTransaction();

  // Ends the transaction (nothing was ever written through it) and
  // detaches. Never fails: a dead server leaves nothing to report, and the
  // handles are released all the same.
  void Disconnect() noexcept;
  // Ends the transaction alone; a no-op after Disconnect.
  void DeactivateTransaction() noexcept;

  bool connected() const { return attachment_ != nullptr; }
  bool in_transaction() const { return transaction_ != nullptr; }

 private:
  std::string database_name_;
  Firebird::IAttachment* attachment_ = nullptr;
  Firebird::ITransaction* transaction_ = nullptr;
};

}  // namespace orvala::host
