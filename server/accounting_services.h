// The accounting services of the remote object: number and document checks,
// progressive totals, the journal header and deletion, and the customer and
// supplier checks. Each is one call of a database routine through a routine
// call that the object owns, on the object's own connection.
//
// The methods differ only in data (the routine, how the arguments reach its
// parameters, which column is read back and what it means), so one table
// describes them all and one body runs any row of it. The frame around each
// body (gate, preset, which errors are absorbed) is the remote object's.
//
// Thread safety: owned by one remote object and used only on its thread.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/connection.h"
#include "driver/query.h"
#include "server/call.h"

namespace orvala::server {

class AccountingServices {
 public:
  explicit AccountingServices(driver::Connection& connection);
  ~AccountingServices();
  AccountingServices(const AccountingServices&) = delete;
  AccountingServices& operator=(const AccountingServices&) = delete;

  // Runs the routine of the called method; the call's method must be one
  // of the routine table's ("No routine for the method %s" otherwise).
  void Run(Call& call);
  // Whether the routine table has a row for the method.
  static bool Answers(std::string_view method_name);

  // The names of the routine calls ("spCheckNumRegistrazione", ...).
  std::vector<std::string> ComponentNames() const;
  // nullptr when there is no routine call of that name.
  driver::Query* RoutineCall(std::string_view name) const;

 private:
  // In the order of the routine table.
  std::vector<std::unique_ptr<driver::Query>> routine_calls_;
};

}  // namespace orvala::server
