// The remote object against a fresh reference database: the connection,
// the logged-in flag, sign-in, rights, the log, sessions and the binding
// of the query modules.
#include <gtest/gtest.h>

#include <cmath>

#include "common/codepage.h"
#include "common/error.h"
#include "common/utf8.h"
#include "server/server_fixture.h"

namespace orvala::server {
namespace {

class OrvalaTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    Sql("insert into utenti (id_utenti, username, passwd, nominativo) "
        "values (42, 'TESTER', 'secret', 'Test user')");
    registry::WriteDatabaseLocation(registry_, database_);
  }

  int64_t LogRows(const std::string& where) {
    return Scalar("select count(*) from applog where " + where);
  }
};

TEST_F(OrvalaTest, ComponentNamesTakeTheFirstFreeSuffix) {
  auto a = NewObject();
  auto b = NewObject();
  auto c = NewObject();
  EXPECT_EQ(a->name(), "Orvala");
  EXPECT_EQ(b->name(), "Orvala_1");
  EXPECT_EQ(c->name(), "Orvala_2");
  b.reset();
  EXPECT_EQ(NewObject()->name(), "Orvala_1");
}

TEST_F(OrvalaTest, SlotAndDispatchIdentifierReachTheSameMethod) {
  auto object = NewObject();
  std::vector<Variant> by_slot = {Variant()};
  std::vector<Variant> by_id = {Variant()};
  const CallOutcome a = object->InvokeBySlot(43, by_slot);
  const CallOutcome b = object->InvokeByDispid(28, by_id);
  ASSERT_EQ(a.status, S_OK);
  ASSERT_EQ(b.status, S_OK);
  EXPECT_EQ(by_id[0].i4(), by_slot[0].i4() + 1);  // GetSession twice
  std::vector<Variant> none;
  EXPECT_EQ(object->InvokeByDispid(29, none).status, DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->InvokeBySlot(99, none).status, DISP_E_MEMBERNOTFOUND);
}

TEST_F(OrvalaTest, OpenDbOpensTheGateForEveryObject) {
  auto first = NewObject();
  auto second = NewObject();
  // Before anything, gated methods answer S_OK and write nothing.
  CallOutcome outcome = CallMethod(*second, "CanDo", {Variant::I4(42), Variant::BStr(u"X")});
  EXPECT_EQ(outcome.status, S_OK);
  EXPECT_FALSE(outcome.result);

  EXPECT_EQ(CallMethod(*first, "OpenDB").status, S_OK);
  EXPECT_TRUE(process_.logged_in());
  EXPECT_TRUE(first->connection().connected());
  outcome = CallMethod(*second, "CanDo", {Variant::I4(42), Variant::BStr(u"X")});
  ASSERT_TRUE(outcome.result);  // answered, on second's own connection
  EXPECT_EQ(outcome.result->i4(), 1);

  EXPECT_EQ(CallMethod(*first, "Logoff", {Variant::BStr(u"TESTER")}).result->i4(), 0);
  EXPECT_FALSE(process_.logged_in());
  EXPECT_FALSE(CallMethod(*second, "CanDo", {Variant::I4(42), Variant::BStr(u"X")}).result);
}

TEST_F(OrvalaTest, OpenDbWithoutLocationOrWithAWrongOne) {
  auto object = NewObject();
  registry::Registry empty(dir_ / "empty-registry");
  ServerProcess bare(empty);
  TOrvala lonely(bare);
  EXPECT_EQ(CallMethod(lonely, "OpenDB").status, S_OK);
  EXPECT_FALSE(bare.logged_in());
  EXPECT_FALSE(lonely.connection().has_params());
  // The next use fails with the connection's own message, inside its frame.
  EXPECT_EQ(CallMethod(lonely, "Login", {Variant::BStr(u"TESTER"), Variant::BStr(u"secret")})
                .result->i4(),
            1);

  registry::WriteDatabaseLocation(registry_, (dir_ / "nowhere.fdb").string());
  EXPECT_EQ(CallMethod(*object, "OpenDB").status, S_OK);
  EXPECT_FALSE(process_.logged_in());
  EXPECT_FALSE(object->connection().connected());
  EXPECT_TRUE(object->connection().has_params());
}

TEST_F(OrvalaTest, OpenDbTwiceReconnectsAndTrimsTheLocation) {
  registry::WriteDatabaseLocation(registry_, database_ + " ");
  auto object = NewObject();
  ASSERT_EQ(CallMethod(*object, "OpenDB").status, S_OK);
  EXPECT_TRUE(object->connection().connected());
  driver::Query probe("probe");
  probe.SetConnection(&object->connection());
  probe.SetSql({"select id_utenti from utenti"});
  probe.Open();
  ASSERT_EQ(CallMethod(*object, "OpenDB").status, S_OK);
  EXPECT_FALSE(probe.is_open());  // closed with the connection
  EXPECT_TRUE(object->connection().connected());
}

TEST_F(OrvalaTest, ALocationOfAnotherTypeFailsTheCall) {
  registry_.CreateKey(registry::Root::kLocalMachine, registry::kDatabaseLocationKey)
      ->SetValue(registry::kDatabaseLocationValue, registry::Value::Dword(7));
  auto object = NewObject();
  const CallOutcome outcome = CallMethod(*object, "OpenDB");
  EXPECT_EQ(outcome.status, E_UNEXPECTED);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->description, "Invalid data type for 'DBPATHVALUE'");
  EXPECT_EQ(outcome.error->source, "OrvalaAppServer.Orvala");
}

TEST_F(OrvalaTest, LoginAcceptedWritesTheSignInEntry) {
  auto object = NewObject();
  CallMethod(*object, "OpenDB");
  process_.logged_in() = false;
  std::vector<Variant> args;
  const CallOutcome outcome = CallMethod(
      *object, "Login",
      {Variant::BStr(u"TESTER"), Variant::BStr(u"secret"), Variant::I4(2024), Variant::BStr(u"1")},
      args);
  ASSERT_EQ(outcome.status, S_OK);
  EXPECT_EQ(outcome.result->i4(), 0);
  EXPECT_EQ(args[4], Variant::I4(42));
  EXPECT_TRUE(process_.logged_in());
  EXPECT_EQ(LogRows("tipo = 1 and appmessage = 'CONNESSO' and username = 'TESTER' and "
                    "classname = 'TORVALA' and appname = 'ORVALA APPLICATION SERVER' and "
                    "formname = ''"),
            1);
}

TEST_F(OrvalaTest, LoginRefusedClosesTheConnectionAndTheGate) {
  auto object = NewObject();
  auto other = NewObject();
  CallMethod(*object, "OpenDB");
  ASSERT_TRUE(process_.logged_in());
  // A routine that answers NULL refuses like one that answers 0.
  for (const char* body : {"logged_in = 0; id_utenti = 42;", "logged_in = null; id_utenti = 42;"}) {
    Sql(std::string("alter procedure login (username varchar(50), passwd varchar(50)) "
                    "returns (logged_in integer, id_utenti integer) as begin ") +
        body + " end");
    process_.logged_in() = true;
    std::vector<Variant> args;
    const CallOutcome outcome = CallMethod(
        *object, "Login", {Variant::BStr(u"TESTER"), Variant::BStr(u"x"), Variant::I4(0), Variant::BStr(u"")},
        args);
    EXPECT_EQ(outcome.result->i4(), 1) << body;
    EXPECT_TRUE(args[4].is_empty());
    EXPECT_FALSE(process_.logged_in());
    EXPECT_FALSE(object->connection().connected());
    EXPECT_TRUE(object->connection().has_params());
  }
  EXPECT_EQ(LogRows("1 = 1"), 0);
  // The closed connection reopens at the next use, as the administrator.
  EXPECT_EQ(CallMethod(*object, "ExecSQL", {Variant::BStr(u"update utenti set attivo = 1")})
                .result->i4(),
            0);
  EXPECT_TRUE(object->connection().connected());
  EXPECT_FALSE(CallMethod(*other, "CanDo", {Variant::I4(42), Variant::BStr(u"X")}).result);
}

TEST_F(OrvalaTest, LoginBeforeOpenDbAndAFailingRoutine) {
  auto object = NewObject();
  EXPECT_EQ(CallMethod(*object, "Login", {Variant::BStr(u"TESTER"), Variant::BStr(u"secret")})
                .result->i4(),
            1);
  EXPECT_FALSE(process_.logged_in());

  // An error with the flag up leaves the flag and writes an error entry.
  CallMethod(*object, "OpenDB");
  Sql("alter procedure login (username varchar(50), passwd varchar(50)) "
      "returns (logged_in integer, id_utenti integer) as begin "
      "logged_in = 1 / 0; end");
  EXPECT_EQ(CallMethod(*object, "Login", {Variant::BStr(u"TESTER"), Variant::BStr(u"secret")})
                .result->i4(),
            1);
  EXPECT_TRUE(process_.logged_in());
  EXPECT_EQ(LogRows("tipo = 2 and username = 'TESTER' and appmessage containing 'divide'"), 1);
}

TEST_F(OrvalaTest, LogoffWithTheFlagDownDoesNothing) {
  auto object = NewObject();
  const CallOutcome outcome = CallMethod(*object, "Logoff", {Variant::BStr(u"TESTER")});
  EXPECT_EQ(outcome.status, S_OK);
  EXPECT_FALSE(outcome.result);

  CallMethod(*object, "OpenDB");
  EXPECT_EQ(CallMethod(*object, "Logoff", {Variant::BStr(u"TESTER")}).result->i4(), 0);
  EXPECT_EQ(LogRows("tipo = 1 and appmessage = 'DISCONNESSO' and username = 'TESTER'"), 1);
  EXPECT_FALSE(object->connection().connected());
}

TEST_F(OrvalaTest, CanDoMapsTheRoutinesAnswer) {
  Sql("alter procedure autentica (funzione varchar(50), id_utenti integer) "
      "returns (autenticato integer) as begin "
      "if (funzione = 'NONE') then exit; "
      "autenticato = cast(funzione as integer); suspend; end");
  auto object = NewObject();
  CallMethod(*object, "OpenDB");
  struct Case {
    const char16_t* function;
    int32_t result;
  };
  const Case cases[] = {{u"1", 0}, {u"2", 1}, {u"0", 1}, {u"NONE", 1}, {u"not a number", 1}};
  for (const Case& c : cases) {
    const CallOutcome outcome =
        CallMethod(*object, "CanDo", {Variant::I4(42), Variant::BStr(c.function)});
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_EQ(outcome.result->i4(), c.result) << ToUtf8(c.function);
  }
}

TEST_F(OrvalaTest, ScriviLogWritesOnlyWhileTheGateIsOpen) {
  auto object = NewObject();
  const std::vector<Variant> entry = {Variant::I4(7),         Variant::BStr(u"Citt\u00E0"),
                                      Variant::BStr(u"CLS"),  Variant::BStr(u"APP"),
                                      Variant::BStr(u"FORM"), Variant::BStr(u"TESTER")};
  EXPECT_FALSE(CallMethod(*object, "ScriviLOG", entry).result);
  CallMethod(*object, "OpenDB");
  EXPECT_EQ(CallMethod(*object, "ScriviLOG", entry).result->i4(), 0);
  EXPECT_EQ(LogRows("tipo = 7 and appmessage = 'Citt\xE0' and classname = 'CLS' and "
                    "appname = 'APP' and formname = 'FORM' and username = 'TESTER'"),
            1);
}

TEST_F(OrvalaTest, SessionsCountDownWhenObjectsGo) {
  auto object = NewObject();
  for (int i = 0; i < 3; ++i) NewObject();  // created and destroyed at once
  std::vector<Variant> args;
  ASSERT_EQ(CallMethod(*object, "GetSession", {}, args).result->i4(), 0);
  EXPECT_EQ(args[0], Variant::I4(449 - 2));
}

TEST_F(OrvalaTest, TheModulesFollowTheOldestLivingObject) {
  driver::Query* query = process_.catalogue().Find("qSelectEsercizi");
  driver::Query* report = process_.reports().Find("qStampa_Situazione");
  EXPECT_EQ(query->connection(), nullptr);
  auto first = NewObject();
  auto second = NewObject();
  auto third = NewObject();
  EXPECT_EQ(query->connection(), &first->connection());
  EXPECT_EQ(report->connection(), &first->connection());

  CallMethod(*first, "OpenDB");
  CallMethod(*second, "OpenDB");
  query->Open();
  ASSERT_TRUE(query->Next());
  second.reset();  // not the home: nothing moves
  EXPECT_EQ(query->connection(), &first->connection());
  EXPECT_TRUE(query->is_open());

  first.reset();  // the home goes: the oldest living object takes over
  EXPECT_EQ(query->connection(), &third->connection());
  EXPECT_FALSE(query->is_open());
  third.reset();
  EXPECT_EQ(query->connection(), nullptr);
  try {
    query->Open();
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.message(), "SQLConnection property required for this operation");
  }
  auto fresh = NewObject();
  EXPECT_EQ(query->connection(), &fresh->connection());
}

// A client that never opened the database must not inherit the catalogue:
// every other client's fetch would then fail for want of a database.
TEST_F(OrvalaTest, TheModulesMoveToAnObjectWithADatabase) {
  auto a = NewObject();
  auto b = NewObject();
  auto c = NewObject();
  CallMethod(*a, "OpenDB");
  CallMethod(*c, "OpenDB");
  a.reset();
  driver::Query* query = process_.catalogue().Find("qSelectEsercizi");
  EXPECT_EQ(query->connection(), &c->connection());
  for (TOrvala* client : {b.get(), c.get()}) {
    std::vector<Variant> all;
    const CallOutcome outcome =
        CallMethod(*client, "AS_GetRecords",
                   {Variant::BStr(u"SelectEsercizi"), Variant::I4(-1), Variant::I4(0),
                    Variant::BStr(u""), Variant(), Variant()},
                   all);
    EXPECT_EQ(outcome.status, S_OK) << (outcome.error ? outcome.error->description : "");
    ASSERT_GT(all.size(), 2u);
    EXPECT_GT(all[2].i4(), 0);  // RecsOut
  }
}

// A statement is never run shorter than the client sent it: the database
// would read an SQL text only up to a NUL.
TEST_F(OrvalaTest, SqlTextWithANulIsRefusedWhole) {
  auto object = NewObject();
  CallMethod(*object, "OpenDB");
  const int64_t before = Scalar("select count(*) from articoli where descrizione2 = 'X'");
  std::u16string cut = u"update ARTICOLI set DESCRIZIONE2 = 'X' where 1=1";
  cut += u'\0';
  cut += u" and CODICE = 'ART001'";
  EXPECT_EQ(CallMethod(*object, "ExecSQL", {Variant::BStr(cut)}).result->i4(), 1);
  EXPECT_EQ(Scalar("select count(*) from articoli where descrizione2 = 'X'"), before);

  std::u16string select = u"select * from ARTICOLI";
  select += u'\0';
  select += u" where 1=0";
  EXPECT_EQ(CallMethod(*object, "AddProvider", {Variant::BStr(u"P"), Variant::BStr(select)})
                .result->i4(),
            1);
  driver::Query* articoli = process_.catalogue().Find("qSelectArticoli");
  const std::string kept = articoli->sql_text();
  EXPECT_EQ(CallMethod(*object, "setQuery", {Variant::BStr(select), Variant::I4(13)}).result->i4(),
            1);
  EXPECT_EQ(articoli->sql_text(), kept);
}

// A date that no timestamp can hold fails the call instead of storing some
// other day.
TEST_F(OrvalaTest, AddParameterRefusesDatesWithoutATimestamp) {
  auto object = NewObject();
  CallMethod(*object, "OpenDB");
  ASSERT_EQ(CallMethod(*object, "AddProvider",
                       {Variant::BStr(u"P"),
                        Variant::BStr(u"select count(*) from articoli where data_inserimento < :D")})
                .result->i4(),
            0);
  for (double date : {std::nan(""), double{INFINITY}, 1e300, 4.3e9, -700000.0}) {
    const CallOutcome outcome = CallMethod(
        *object, "AddParameter", {Variant::BStr(u"D"), Variant::Date(date), Variant::BStr(u"P")});
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_EQ(outcome.result->i4(), 1) << date;
  }
  std::vector<Variant> all;
  const auto fetch = [&] {
    return CallMethod(*object, "AS_GetRecords",
                      {Variant::BStr(u"P"), Variant::I4(-1), Variant::I4(0), Variant::BStr(u""),
                       Variant(), Variant()},
                      all);
  };
  const CallOutcome refused = fetch();  // the parameter never got a value
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->description, "No value for parameter 'D'");
  EXPECT_EQ(CallMethod(*object, "AddParameter",
                       {Variant::BStr(u"D"), Variant::Date(45322.5), Variant::BStr(u"P")})
                .result->i4(),
            0);
  EXPECT_EQ(fetch().status, S_OK);
}

}  // namespace
}  // namespace orvala::server
