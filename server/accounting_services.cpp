#include "server/accounting_services.h"

namespace orvala::server {

AccountingServices::AccountingServices(driver::Connection& connection) : connection_(connection) {}

AccountingServices::~AccountingServices() = default;

std::span<const AccountingServices::Method> AccountingServices::Methods() { return {}; }

std::vector<std::string> AccountingServices::ComponentNames() const {
  std::vector<std::string> names;
  for (const auto& q : routine_calls_) names.push_back(q->name());
  return names;
}

}  // namespace orvala::server
