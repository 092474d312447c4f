// A connection to one Firebird database, as the remote object and the
// catalogue use it.
//
// The connection keeps named parameters ("Database", "User_Name",
// "Password") and connects on first use. Queries attach themselves to it;
// closing the connection closes every attached query first and discards
// what they had pending. A statement that runs outside a Transaction object
// is committed on its own before the call returns.
//
// Thread safety: a connection may be used from several threads (the first
// remote object's connection also serves the catalogue). Every operation
// takes the connection's own recursive mutex; callers that hold other locks
// take them first (object lock, then catalogue lock, then this one).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/mutex.h"

namespace Firebird {
class IAttachment;
class ITransaction;
}  // namespace Firebird

namespace orvala::driver {

class Query;
class Transaction;

class Connection {
 public:
  Connection();
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connection parameters, by name. Changing them does not reconnect.
  void SetParam(const std::string& name, const std::string& value);
  void ClearParams();
  bool has_params() const;
  std::string Param(const std::string& name) const;  // "" when absent

  // Connects with the parameters in place; does nothing when connected.
  // Fails with "Missing Database property" without parameters, or with
  // Firebird's own message.
  void Open();
  // Closes every attached query and rolls back every live transaction,
  // then detaches. Parameters stay.
  void Close();
  bool connected() const;
  // For use after a failure: when the database no longer answers (its
  // server went away, the network broke), closes as Close() does so that
  // the next use connects again. True when it closed.
  bool CloseIfLost();

  // Runs SQL text as it stands, with no placeholders: for scripts whose
  // procedure bodies use ":name" for their own variables.
  void ExecuteImmediate(const std::string& sql, Transaction* tx = nullptr);

  // Creates a database file and leaves this connection attached to it.
  // The parameters in place name the file, user and password.
  void CreateDatabase(const std::string& charset, int page_size, bool forced_writes);

  // The character that quotes identifiers in this SQL dialect.
  std::string quote_char() const { return "\""; }

  RecursiveMutex& mutex() const RETURN_CAPABILITY(mutex_) { return mutex_; }

 private:
  friend class Query;
  friend class Transaction;

  Firebird::IAttachment* Attachment();  // connects first when needed
  struct CreateSettings {
    std::string charset;
    int page_size;
    bool forced_writes;
  };
  // Attaches with the parameters in place, or creates the database first.
  Firebird::IAttachment* Attach(const CreateSettings* create);
  Firebird::ITransaction* StartFirebirdTransaction();
  void AttachQuery(Query* query);
  void DetachQuery(Query* query);
  void AttachTransaction(Transaction* tx);
  void DetachTransaction(Transaction* tx);

  mutable RecursiveMutex mutex_;
  std::vector<std::pair<std::string, std::string>> params_ GUARDED_BY(mutex_);
  Firebird::IAttachment* attachment_ GUARDED_BY(mutex_) = nullptr;
  std::vector<Query*> queries_ GUARDED_BY(mutex_);
  std::vector<Transaction*> transactions_ GUARDED_BY(mutex_);
};

// An explicit transaction, for work that must commit or roll back as one
// (the update resolver). Rolled back when destroyed uncommitted, and when
// its connection closes.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Commit();
  void Rollback();
  bool active() const { return handle_ != nullptr; }
  Connection& connection() const { return connection_; }

 private:
  friend class Connection;
  friend class Query;
  void Abandon();  // the connection is closing

  Connection& connection_;
  Firebird::ITransaction* handle_ = nullptr;
};

}  // namespace orvala::driver
