#include "server/orvala.h"

#include "common/codepage.h"
#include "common/error.h"
#include "driver/administrator.h"
#include "registry/database_location.h"

namespace orvala::server {
namespace {

constexpr char16_t kClassName[] = u"TORVALA";
constexpr char16_t kAppName[] = u"ORVALA APPLICATION SERVER";
constexpr int32_t kLogKindSession = 1;
constexpr int32_t kLogKindError = 2;

// An integer output or column that is NULL reads as 0.
int32_t AsInt(const Value& v) {
  if (const auto* i = std::get_if<int32_t>(&v)) return *i;
  if (const auto* s = std::get_if<int16_t>(&v)) return *s;
  if (const auto* l = std::get_if<int64_t>(&v)) return static_cast<int32_t>(*l);
  if (IsNull(v)) return 0;
  throw Error("Value is not an integer");
}

}  // namespace

TOrvala::TOrvala(ServerProcess& process)
    : process_(process),
      providers_(providers::ServiceContext{
          &process.catalogue(), &process.reports(), &connection_,
          [&process](int32_t bound) { return process.sessions().DrawBelow(bound); },
          [this] { return OwnComponentNames(); }}) {
  AddRoutineCall("spLogin", "EXECUTE PROCEDURE LOGIN(:USERNAME, :PASSWD)");
  AddRoutineCall("spInsert_APPLOG",
                 "EXECUTE PROCEDURE INSERT_APPLOG(:USERNAME, :TIPO, :APPMESSAGE, :FORMNAME, "
                 ":CLASSNAME, :APPNAME)");
  AddRoutineCall("spAutentica", "Select * from Autentica(:FUNZIONE, :id_utenti)",
                 {{"AUTENTICATO", FieldType::Integer, 0, false}});
  name_ = process_.RegisterObject(this, &connection_);
}

TOrvala::~TOrvala() {
  RemoteDataModuleDestroy();
  process_.UnregisterObject(this);
  routine_calls_.clear();
  connection_.Close();
}

void TOrvala::RemoteDataModuleDestroy() { process_.sessions().ReleaseSession(); }

driver::Query& TOrvala::AddRoutineCall(const std::string& name, const std::string& sql,
                                       std::vector<driver::ListedField> listed) {
  auto query = std::make_unique<driver::Query>(name);
  query->SetConnection(&connection_);
  query->SetSql({sql});
  query->SetListedFields(std::move(listed));
  routine_calls_.push_back(std::move(query));
  return *routine_calls_.back();
}

driver::Query* TOrvala::RoutineCall(std::string_view name) const {
  for (const auto& q : routine_calls_) {
    if (q->name() == name) return q.get();
  }
  return nullptr;
}

std::vector<std::string> TOrvala::ComponentNames() const { return providers_.ComponentNames(); }

std::vector<std::string> TOrvala::OwnComponentNames() const {
  std::vector<std::string> names = {"OrvalaConnection"};
  for (const auto& q : routine_calls_) names.push_back(q->name());
  for (std::string& n : accounting_.ComponentNames()) names.push_back(std::move(n));
  return names;
}

const std::map<std::string, TOrvala::Body, std::less<>>& TOrvala::Bodies() {
  static const std::map<std::string, Body, std::less<>> bodies = {
      {"Login", &TOrvala::Login},         {"Logoff", &TOrvala::Logoff},
      {"ScriviLOG", &TOrvala::ScriviLOG}, {"CanDo", &TOrvala::CanDo},
      {"OpenDB", &TOrvala::OpenDB},       {"GetSession", &TOrvala::GetSession},
      {"ExecSQL", &TOrvala::ExecSQL},
      {"setQuery", &TOrvala::SetQuery},
      {"AS_ApplyUpdates", &TOrvala::AsApplyUpdates},
      {"AS_GetRecords", &TOrvala::AsGetRecords},
      {"AS_DataRequest", &TOrvala::AsDataRequest},
      {"AS_GetProviderNames", &TOrvala::AsGetProviderNames},
      {"AS_GetParams", &TOrvala::AsGetParams},
      {"AS_RowRequest", &TOrvala::AsRowRequest},
      {"AS_Execute", &TOrvala::AsExecute},
      {"AddProvider", &TOrvala::AddProvider},
      {"AddMasterProvider", &TOrvala::AddMasterProvider},
      {"AddDetailProvider", &TOrvala::AddDetailProvider},
      {"AddParameter", &TOrvala::AddParameter},
      {"DestroyProvider", &TOrvala::DestroyProvider},
      {"DestroyMasterProvider", &TOrvala::DestroyMasterProvider},
  };
  return bodies;
}

CallOutcome TOrvala::InvokeBySlot(int slot, std::vector<Variant>& args) {
  const MethodDef* method = MethodBySlot(slot);
  if (!method) return CallOutcome{DISP_E_MEMBERNOTFOUND, std::nullopt, std::nullopt};
  return Invoke(*method, args);
}

CallOutcome TOrvala::InvokeByDispid(int32_t dispid, std::vector<Variant>& args) {
  const MethodDef* method = MethodByDispid(dispid);
  if (!method) return CallOutcome{DISP_E_MEMBERNOTFOUND, std::nullopt, std::nullopt};
  return Invoke(*method, args);
}

CallOutcome TOrvala::Invoke(const MethodDef& method, std::vector<Variant>& args) {
  std::lock_guard lock(lock_);
  if (const HResult status = PrepareArguments(method, args); Failed(status)) {
    return CallOutcome{status, std::nullopt, std::nullopt};
  }
  std::function<void(Call&)> run;
  if (const auto body = Bodies().find(method.name); body != Bodies().end()) {
    run = [this, fn = body->second](Call& c) { (this->*fn)(c); };
  }
  for (const AccountingServices::Method& m : AccountingServices::Methods()) {
    if (std::string_view(m.name) == method.name) {
      run = [this, fn = m.body](Call& c) { (accounting_.*fn)(c); };
    }
  }
  if (!run) return CallOutcome{E_NOTIMPL, std::nullopt, std::nullopt};
  Call call(method, args);
  CallOutcome outcome = RunFramed(
      RuleFor(method.name), call, process_.logged_in(), run,
      [this](Call& c, const std::string& message) {
        // Login and Logoff log under the user name they were given.
        WriteLog(c.bstr(0), kLogKindError, CodePage::System().Decode(message));
      });
  if (Failed(outcome.status)) {
    // A database that went away leaves its attachments dead; dropping them
    // lets the next call connect again once it is back.
    connection_.CloseIfLost();
    process_.CloseHomeIfLost();
  }
  return outcome;
}

void TOrvala::WriteLog(const std::u16string& user, int32_t kind, const std::u16string& message) {
  std::vector<Variant> args = {Variant::I4(kind),         Variant::BStr(message),
                               Variant::BStr(kClassName), Variant::BStr(kAppName),
                               Variant::BStr(u""),        Variant::BStr(user)};
  Invoke(*MethodByName("ScriviLOG"), args);  // its method result is not looked at
}

void TOrvala::Login(Call& call) {
  driver::Query& login = *RoutineCall("spLogin");
  login.params().SetByName("USERNAME", call.text(0));
  login.params().SetByName("PASSWD", call.text(1));
  login.Execute();
  if (AsInt(login.output("LOGGED_IN")) == 1) {
    call.out(4) = Variant::I4(AsInt(login.output("ID_UTENTI")));
    process_.logged_in() = true;
    WriteLog(call.bstr(0), kLogKindSession, u"CONNESSO");
    call.set_result(0);
  } else {
    connection_.Close();
    process_.logged_in() = false;
    call.set_result(1);
  }
}

void TOrvala::Logoff(Call& call) {
  WriteLog(call.bstr(0), kLogKindSession, u"DISCONNESSO");
  connection_.Close();
  process_.logged_in() = false;
  call.set_result(0);
}

void TOrvala::ScriviLOG(Call& call) {
  driver::Query& log = *RoutineCall("spInsert_APPLOG");
  log.params().SetByName("TIPO", call.i4(0));
  log.params().SetByName("APPMESSAGE", call.text(1));
  log.params().SetByName("CLASSNAME", call.text(2));
  log.params().SetByName("APPNAME", call.text(3));
  log.params().SetByName("FORMNAME", call.text(4));
  log.params().SetByName("USERNAME", call.text(5));
  log.Execute();
}

void TOrvala::CanDo(Call& call) {
  driver::Query& autentica = *RoutineCall("spAutentica");
  autentica.Close();
  autentica.params().SetByName("FUNZIONE", call.text(1));
  autentica.params().SetByName("ID_UTENTI", call.i4(0));
  autentica.Open();
  const bool allowed = autentica.Next() && AsInt(autentica.value("AUTENTICATO")) == 1;
  call.set_result(allowed ? 0 : 1);
  autentica.Close();
}

void TOrvala::GetSession(Call& call) {
  call.out(0) = Variant::I4(process_.sessions().NewSessionNumber());
  call.set_result(0);
}

void TOrvala::ExecSQL(Call& call) {
  // A query of its own, on this object's connection (never the catalogue's),
  // that lives for this call only.
  driver::Query statement("ExecSQL");
  statement.SetConnection(&connection_);
  statement.SetSql({call.text(0)});
  statement.Execute();
}

void TOrvala::SetQuery(Call& call) {
  providers_.SetQuery(call.text(0), call.i4(1));
  call.set_result(0);
}

// Argument positions follow the interface: see type_library.cpp.
void TOrvala::AsApplyUpdates(Call& call) {
  int32_t errors = 0;
  Variant result = providers_.ApplyUpdates(call.text(0), call.var(1), call.i4(2), errors);
  call.out(3) = Variant::I4(errors);
  call.set_result(std::move(result));
}

void TOrvala::AsGetRecords(Call& call) {
  int32_t recs_out = 0;
  Variant result = providers_.GetRecords(call.text(0), call.i4(1), recs_out, call.i4(3),
                                         call.text(4), call.out(5));
  call.out(2) = Variant::I4(recs_out);
  call.set_result(std::move(result));
}

void TOrvala::AsDataRequest(Call& call) {
  call.set_result(providers_.DataRequest(call.text(0), call.var(1)));
}

void TOrvala::AsGetProviderNames(Call& call) { call.set_result(providers_.GetProviderNames()); }

void TOrvala::AsGetParams(Call& call) { call.set_result(providers_.GetParams(call.text(0))); }

void TOrvala::AsRowRequest(Call& call) {
  call.set_result(providers_.RowRequest(call.text(0), call.var(1), call.i4(2)));
}

void TOrvala::AsExecute(Call& call) {
  providers_.Execute(call.text(0), call.text(1), call.out(2));
}

void TOrvala::AddProvider(Call& call) { providers_.AddProvider(call.text(0), call.text(1)); }

void TOrvala::AddMasterProvider(Call& call) {
  providers_.AddMasterProvider(call.text(0), call.text(1), call.text(2));
}

void TOrvala::AddDetailProvider(Call& call) {
  providers_.AddDetailProvider(call.text(0), call.text(1), call.text(2));
}

void TOrvala::AddParameter(Call& call) {
  providers_.AddParameter(call.text(0), call.var(1), call.text(2));
}

void TOrvala::DestroyProvider(Call& call) {
  providers_.DestroyProvider(call.text(0));
  call.set_result(0);
}

void TOrvala::DestroyMasterProvider(Call& call) {
  providers_.DestroyMasterProvider(call.text(0), call.text(1));
  call.set_result(0);
}

void TOrvala::OpenDB(Call&) {
  connection_.Close();
  connection_.ClearParams();
  const std::string location = registry::ReadDatabaseLocation(process_.registry());
  if (location.empty()) return;
  connection_.SetParam("Database", location);
  driver::UseAdministrator(connection_);
  try {
    connection_.Open();
    process_.logged_in() = connection_.connected();
  } catch (...) {
    connection_.Close();  // the client learns of it at its next database use
  }
}

}  // namespace orvala::server
