// The provider service of one remote object: its registry of providers,
// the seven provider operations, client-supplied SQL for the catalogue's
// queries, and the providers that clients create at run time.
//
// Thread safety: owned by one remote object and called under its lock.
// Providers that serve the shared modules' queries take that module's lock
// for the whole of an operation (lock order: object, module, connection).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "catalogue/query_module.h"
#include "common/variant.h"
#include "driver/connection.h"
#include "providers/provider.h"

namespace orvala::providers {

struct ServiceContext {
  catalogue::QueryModule* catalogue = nullptr;
  catalogue::QueryModule* reports = nullptr;
  driver::Connection* connection = nullptr;  // the remote object's own
  // Re-seeds the shared generator and draws a number below the bound.
  std::function<int32_t(int32_t)> draw_below;
  // The names of the object's other components (connection, routine calls).
  std::function<std::vector<std::string>()> other_component_names;
};

class ProviderService {
 public:
  explicit ProviderService(ServiceContext context);
  ~ProviderService();
  ProviderService(const ProviderService&) = delete;
  ProviderService& operator=(const ProviderService&) = delete;

  // The provider operations. Names arrive in the system code page.
  Variant GetRecords(const std::string& provider, int32_t count, int32_t& recs_out,
                     int32_t options, const std::string& command_text, Variant& params);
  Variant ApplyUpdates(const std::string& provider, const Variant& delta, int32_t max_errors,
                       int32_t& error_count);
  Variant DataRequest(const std::string& provider, const Variant& data);
  Variant GetProviderNames() const;
  Variant GetParams(const std::string& provider);
  Variant RowRequest(const std::string& provider, const Variant& row, int32_t request_type);
  void Execute(const std::string& provider, const std::string& command_text, Variant& params);

  // Replaces the SQL of the catalogue query with that index; an index not
  // in the table changes nothing.
  void SetQuery(const std::string& sql, int32_t index);

  // Run-time providers. Failures raise; the remote object's frame turns
  // them into its method result.
  void AddProvider(const std::string& name, const std::string& sql);
  void AddMasterProvider(const std::string& name, const std::string& sql,
                         const std::string& data_source);
  void AddDetailProvider(const std::string& name, const std::string& sql,
                         const std::string& master_data_source);
  void AddParameter(const std::string& param, const Variant& value, const std::string& provider);
  void DestroyProvider(const std::string& name);
  void DestroyMasterProvider(const std::string& name, const std::string& data_source);

  // Every component name the object has, for name checks.
  std::vector<std::string> ComponentNames() const;
  Provider* FindProvider(const std::string& name) const;  // without regard to case
  const std::vector<std::unique_ptr<Provider>>& providers() const { return providers_; }

 private:
  // A run-time component, by what it is.
  using Component = std::variant<driver::Query*, DataSource*, Provider*>;
  Provider& Require(const std::string& name) const;
  void Resolve(Provider& provider);
  std::vector<driver::Query*> DetailsOf(const driver::Query* master) const;
  // The master query a detail is linked to, or nullptr.
  const driver::Query* MasterOf(const driver::Query* detail) const;
  // Opens the provider's query; a detail takes its unset parameters from
  // its master's current row.
  void OpenQuery(Provider& provider);
  void CheckNewName(const std::string& name) const;
  driver::Query& CreateQuery(const std::string& provider_name, const std::string& sql);
  Provider& CreateProvider(const std::string& name, driver::Query* query);
  void RemoveComponent(Component component);
  void ReplaceParams(Provider& provider, const Variant& params);
  // The steps that fetching and executing share: no command text, the
  // client's parameters, and a query to serve.
  driver::Query* TakeRequest(Provider& provider, const std::string& command_text,
                             const Variant& params);

  ServiceContext context_;
  std::vector<std::unique_ptr<Provider>> providers_;  // registry order
  std::vector<std::unique_ptr<driver::Query>> queries_;
  std::vector<std::unique_ptr<DataSource>> data_sources_;
  std::vector<Component> components_;  // run-time components, in creation order
  std::vector<std::pair<driver::Query*, DataSource*>> links_;  // detail -> master source
};

// An identifier: a letter or underscore, then letters, digits, underscores.
bool IsValidComponentName(const std::string& name);

}  // namespace orvala::providers
