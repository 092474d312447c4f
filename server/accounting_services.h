// The accounting services of the remote object: number and document checks,
// progressive totals, the journal header and deletion, and the customer and
// supplier checks. Each is one call of a database routine through a routine
// call that the object owns, on the object's own connection.
//
// Thread safety: owned by one remote object and used only on its thread.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/connection.h"
#include "driver/query.h"
#include "server/call.h"

namespace orvala::server {

class AccountingServices {
 public:
  explicit AccountingServices(driver::Connection& connection);
  ~AccountingServices();

  using Body = void (AccountingServices::*)(Call&);
  struct Method {
    const char* name;  // as the interface names it
    Body body;
  };
  // The methods this class answers.
  static std::span<const Method> Methods();

  // The names of the routine calls ("spCheckNumRegistrazione", ...).
  std::vector<std::string> ComponentNames() const;

 private:
  driver::Connection& connection_;
  std::vector<std::unique_ptr<driver::Query>> routine_calls_;
};

}  // namespace orvala::server
