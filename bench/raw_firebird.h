// The baselines that talk to Firebird by the shortest path: its OO API with
// the message layout read once, no driver, no packet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/value.h"

namespace Firebird {
class IAttachment;
class IStatement;
}  // namespace Firebird

namespace orvala::bench {

// One attachment of its own to the database file.
class RawDatabase {
 public:
  explicit RawDatabase(const std::string& path);
  ~RawDatabase();
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  // Runs the SELECT in a transaction of its own and reads every value of
  // every row into a C++ value (strings, BLOB text included, into reused
  // buffers). Returns the number of rows. The statement is prepared at the
  // first call and kept, as a provider keeps its query's.
  int64_t FetchAll(const std::string& select);

  // Runs each (SQL, parameters) pair in one transaction, each distinct
  // text prepared once; every statement must change exactly one row.
  // Parameters are bound in the types the statement describes.
  struct Statement {
    const std::string* sql;
    const std::vector<Value>* params;
  };
  void RunInOneTransaction(const std::vector<Statement>& statements);

 private:
  Firebird::IAttachment* attachment_ = nullptr;
  std::string prepared_select_;
  Firebird::IStatement* select_ = nullptr;
};

}  // namespace orvala::bench
