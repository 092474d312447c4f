// TOrvala: the remote object, one per client.
//
// A remote object owns its connection OrvalaConnection, the routine calls
// that run the database's routines, and (through the provider service) its
// providers. Every call arrives through Invoke, by interface slot or by
// dispatch identifier, and runs inside the common frame.
//
// Thread safety: a remote object lives on one thread, which makes every
// call; Invoke also takes the object's own lock, so a second thread that
// calls in by mistake waits instead of racing.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/connection.h"
#include "driver/query.h"
#include "providers/provider_service.h"
#include "server/accounting_services.h"
#include "server/call.h"
#include "server/frame.h"
#include "server/object_channel.h"
#include "server/server_process.h"

namespace orvala::server {

class TOrvala : public ObjectChannel {
 public:
  explicit TOrvala(ServerProcess& process);
  ~TOrvala() override;
  TOrvala(const TOrvala&) = delete;
  TOrvala& operator=(const TOrvala&) = delete;

  const std::string& name() const { return name_; }
  ServerProcess& process() const { return process_; }
  driver::Connection& connection() { return connection_; }
  providers::ProviderService& providers() { return providers_; }

  // `args` holds the arguments in interface order; out arguments are
  // written into it.
  CallOutcome InvokeBySlot(int slot, std::vector<Variant>& args);
  CallOutcome InvokeByDispid(int32_t dispid, std::vector<Variant>& args);
  CallOutcome Invoke(const MethodDef& method, std::vector<Variant>& args) override;

  // The routine calls and other components of the object, by name.
  driver::Query* RoutineCall(std::string_view name) const;
  std::vector<std::string> ComponentNames() const;

  std::recursive_mutex& lock() { return lock_; }

  // The methods that the object implements itself, as the interface table
  // (type_library.cpp) reaches them: inside their frames, through Invoke.
  // Sign-in, rights, log and sessions.
  void Login(Call& call);
  void Logoff(Call& call);
  void ScriviLOG(Call& call);
  void CanDo(Call& call);
  void GetSession(Call& call);
  // The database connection and client-supplied statements.
  void OpenDB(Call& call);
  void ExecSQL(Call& call);
  void SetQuery(Call& call);
  // The provider operations.
  void AsApplyUpdates(Call& call);
  void AsGetRecords(Call& call);
  void AsDataRequest(Call& call);
  void AsGetProviderNames(Call& call);
  void AsGetParams(Call& call);
  void AsRowRequest(Call& call);
  void AsExecute(Call& call);
  // Run-time providers.
  void AddProvider(Call& call);
  void AddMasterProvider(Call& call);
  void AddDetailProvider(Call& call);
  void AddParameter(Call& call);
  void DestroyProvider(Call& call);
  void DestroyMasterProvider(Call& call);
  // The accounting services: one database routine each, as the routine
  // table of AccountingServices gives it.
  void RunAccountingService(Call& call) { accounting_.Run(call); }

 private:
  void RemoteDataModuleDestroy();
  void WriteLog(const std::u16string& user, int32_t kind, const std::u16string& message);

  // The components other than the providers and their run-time parts.
  std::vector<std::string> OwnComponentNames() const;

  driver::Query& AddRoutineCall(const std::string& name, const std::string& sql,
                                std::vector<driver::ListedField> listed = {});

  ServerProcess& process_;
  std::recursive_mutex lock_;
  std::string name_;
  driver::Connection connection_;
  std::vector<std::unique_ptr<driver::Query>> routine_calls_;
  AccountingServices accounting_{connection_};
  providers::ProviderService providers_;
};

// The body of a method that the object implements as its member F.
template <void (TOrvala::*F)(Call&)>
void MemberBody(TOrvala& object, Call& call) {
  (object.*F)(call);
}

}  // namespace orvala::server
