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
  if (!method.body) return CallOutcome{E_NOTIMPL, std::nullopt, std::nullopt};
  Call call(method, args);
  CallOutcome outcome = RunFramed(
      method.frame, call, process_.logged_in(), [&](Call& c) { method.body(*this, c); },
      [this](Call& c, const std::string& message) {
        // Login and Logoff log under the user name they were given.
        WriteLog(c.bstr("UserName"), kLogKindError, CodePage::System().Decode(message));
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
  login.params().SetByName("USERNAME", call.text("UserName"));
  login.params().SetByName("PASSWD", call.text("Password"));
  login.Execute();
  if (AsInt(login.output("LOGGED_IN")) == 1) {
    call.out("ID_Utenti") = Variant::I4(AsInt(login.output("ID_UTENTI")));
    process_.logged_in() = true;
    WriteLog(call.bstr("UserName"), kLogKindSession, u"CONNESSO");
    call.set_result(0);
  } else {
    connection_.Close();
    process_.logged_in() = false;
    call.set_result(1);
  }
}

void TOrvala::Logoff(Call& call) {
  WriteLog(call.bstr("UserName"), kLogKindSession, u"DISCONNESSO");
  connection_.Close();
  process_.logged_in() = false;
  call.set_result(0);
}

void TOrvala::ScriviLOG(Call& call) {
  driver::Query& log = *RoutineCall("spInsert_APPLOG");
  log.params().SetByName("TIPO", call.i4("Tipo"));
  log.params().SetByName("APPMESSAGE", call.text("AppMessage"));
  log.params().SetByName("CLASSNAME", call.text("AClassName"));
  log.params().SetByName("APPNAME", call.text("AppName"));
  log.params().SetByName("FORMNAME", call.text("AFormName"));
  log.params().SetByName("USERNAME", call.text("UserName"));
  log.Execute();
}

void TOrvala::CanDo(Call& call) {
  driver::Query& autentica = *RoutineCall("spAutentica");
  autentica.Close();
  autentica.params().SetByName("FUNZIONE", call.text("ID_Funzioni"));
  autentica.params().SetByName("ID_UTENTI", call.i4("ID_Utenti"));
  autentica.Open();
  const bool allowed = autentica.Next() && AsInt(autentica.value("AUTENTICATO")) == 1;
  call.set_result(allowed ? 0 : 1);
  autentica.Close();
}

void TOrvala::GetSession(Call& call) {
  call.out("SessionNumber") = Variant::I4(process_.sessions().NewSessionNumber());
  call.set_result(0);
}

void TOrvala::ExecSQL(Call& call) {
  // A query of its own, on this object's connection (never the catalogue's),
  // that lives for this call only.
  driver::Query statement("ExecSQL");
  statement.SetConnection(&connection_);
  statement.SetSql({call.text("ASQL")});
  statement.Execute();
}

void TOrvala::SetQuery(Call& call) {
  providers_.SetQuery(call.text("strSql"), call.i4("toSelect"));
  call.set_result(0);
}

// Argument positions follow the interface: see type_library.cpp.
void TOrvala::AsApplyUpdates(Call& call) {
  int32_t errors = 0;
  Variant result = providers_.ApplyUpdates(call.text("ProviderName"), call.var("Delta"),
                                           call.i4("MaxErrors"), errors);
  call.out("ErrorCount") = Variant::I4(errors);
  call.set_result(std::move(result));
}

void TOrvala::AsGetRecords(Call& call) {
  int32_t recs_out = 0;
  Variant result =
      providers_.GetRecords(call.text("ProviderName"), call.i4("Count"), recs_out,
                            call.i4("Options"), call.text("CommandText"), call.out("Params"));
  call.out("RecsOut") = Variant::I4(recs_out);
  call.set_result(std::move(result));
}

void TOrvala::AsDataRequest(Call& call) {
  call.set_result(providers_.DataRequest(call.text("ProviderName"), call.var("Data")));
}

void TOrvala::AsGetProviderNames(Call& call) { call.set_result(providers_.GetProviderNames()); }

void TOrvala::AsGetParams(Call& call) {
  call.set_result(providers_.GetParams(call.text("ProviderName")));
}

void TOrvala::AsRowRequest(Call& call) {
  call.set_result(
      providers_.RowRequest(call.text("ProviderName"), call.var("Row"), call.i4("RequestType")));
}

void TOrvala::AsExecute(Call& call) {
  providers_.Execute(call.text("ProviderName"), call.text("CommandText"), call.out("Params"));
}

void TOrvala::AddProvider(Call& call) {
  providers_.AddProvider(call.text("ProviderName"), call.text("SQL"));
}

void TOrvala::AddMasterProvider(Call& call) {
  providers_.AddMasterProvider(call.text("ProviderName"), call.text("SQL"),
                               call.text("DataSourceName"));
}

void TOrvala::AddDetailProvider(Call& call) {
  providers_.AddDetailProvider(call.text("ProviderName"), call.text("SQL"),
                               call.text("MasterDataSource"));
}

void TOrvala::AddParameter(Call& call) {
  providers_.AddParameter(call.text("ParamName"), call.var("ParamValue"),
                          call.text("ProviderName"));
}

void TOrvala::DestroyProvider(Call& call) {
  providers_.DestroyProvider(call.text("ProviderName"));
  call.set_result(0);
}

void TOrvala::DestroyMasterProvider(Call& call) {
  providers_.DestroyMasterProvider(call.text("ProviderName"), call.text("DataSource"));
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
