// A module of shared queries: the catalogue module (dmSQL) or the report
// module (dmStampe). One instance of each per process; the providers of
// every remote object serve these same query objects.
//
// Thread safety: the queries are shared by the remote objects' threads.
// Every use of a query of the module (open, fetch, close, parameter or SQL
// change, statement execution) must hold lock(). Lock order: a remote
// object's own lock first, then this one, then a connection's.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "catalogue/catalogue_data.h"
#include "common/mutex.h"
#include "driver/query.h"

namespace orvala::catalogue {

class QueryModule {
 public:
  // Builds every query of `which` from the catalogue table: SQL, listed
  // fields and parameters (typed, without values).
  explicit QueryModule(Module which);
  QueryModule(const QueryModule&) = delete;
  QueryModule& operator=(const QueryModule&) = delete;

  // The query of that component name, compared exactly; nullptr if none.
  driver::Query* Find(std::string_view query_name) const;

  // Puts every query of the module on `connection` (nullptr: none).
  // The caller holds lock().
  void Bind(driver::Connection* connection) REQUIRES(lock_);

  RecursiveMutex& lock() const RETURN_CAPABILITY(lock_) { return lock_; }
  const std::vector<std::unique_ptr<driver::Query>>& queries() const { return queries_; }

 private:
  mutable RecursiveMutex lock_;
  // Built once by the constructor; the queries themselves are what lock_
  // guards, each use of them through its caller's MutexLock.
  std::vector<std::unique_ptr<driver::Query>> queries_;
};

// The listed-field description of a catalogue field, as the driver checks it.
driver::ListedField ToListedField(const FieldDef& field);
FieldType ToFieldType(FieldKind kind);

}  // namespace orvala::catalogue
