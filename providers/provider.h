// A provider: a named dataset that clients fetch in packets and send their
// changes back to. It serves one query (or none, once its query is gone)
// and remembers where its last fetch stopped.
//
// Thread safety: a Provider belongs to the provider service of one remote
// object and is read and changed only under that object's lock, so its
// own members (name, query pointer, hook, fetch state) need no lock of
// their own. The query it serves may not be its own: a query of a shared
// module serves every remote object, and another object may fetch from it
// or replace its SQL at any time. Every use of such a query holds
// shared_lock(), the module's lock, which the provider service takes for
// the whole of an operation (lock order: object, module, connection); a
// provider with a query of its object's own has no shared lock.
#pragma once

#include <mutex>
#include <string>

#include "driver/query.h"
#include "providers/resolver.h"

namespace orvala::providers {

class Provider {
 public:
  // `shared_lock` is the lock of the module whose query the provider
  // serves (queries shared by every remote object), nullptr for a query of
  // the remote object's own.
  Provider(std::string name, driver::Query* query, std::recursive_mutex* shared_lock)
      : name_(std::move(name)), query_(query), shared_lock_(shared_lock) {}

  const std::string& name() const { return name_; }
  void set_name(std::string name) { name_ = std::move(name); }
  driver::Query* query() const { return query_; }
  void set_query(driver::Query* query) { query_ = query; }
  std::recursive_mutex* shared_lock() const { return shared_lock_; }

  UpdateHook hook;  // BeforeUpdateRecord; unset on all but one provider

  // Fetch state between calls.
  bool opened_query = false;   // this provider opened the query it serves
  int64_t rows_sent = 0;
  bool wrote_packet = false;   // the first packet ever written carries metadata
  // The SQL whose columns this provider last described: a query whose text
  // was replaced since (by any client) describes its new columns again, or
  // the client could not read the rows.
  std::string described_sql;

 private:
  std::string name_;
  driver::Query* query_;
  std::recursive_mutex* shared_lock_;
};

// A named link to a query, through which detail queries follow a master.
struct DataSource {
  std::string name;
  driver::Query* dataset = nullptr;
};

}  // namespace orvala::providers
