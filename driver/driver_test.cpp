// The driver against a real embedded database with a small fixture schema.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/error.h"
#include "common/paths.h"
#include "driver/administrator.h"
#include "driver/connection.h"
#include "driver/query.h"
#include "tests/testing.h"

// Under the sanitizers, LeakSanitizer's tracer has crashed (signal 11) at
// the exit of this program when ctest runs it, after every test has
// passed; run by hand it exits cleanly. The leak check is therefore off for
// this program alone; AddressSanitizer still checks every access, and the
// driver's allocations are leak-checked by the provider and server tests.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace orvala::driver {
namespace {

constexpr const char* kFixture[] = {
    "create table items (id integer not null, name varchar(20), price double precision, "
    "qty smallint, seen timestamp, note blob sub_type text, code char(4))",
    "create table log (id integer, msg varchar(40))",
    "create procedure next_id (base integer) returns (result integer, doubled integer) as "
    "begin result = base + 1; doubled = base * 2; end",
    "create procedure log_and_count (msg varchar(40)) returns (total integer) as "
    "begin insert into log values (1, :msg); select count(*) from log into :total; suspend; end",
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "fixture.fdb").string();
    Connection creator;
    Configure(creator);
    creator.CreateDatabase("WIN1252", 4096, false);
    for (const char* ddl : kFixture) creator.ExecuteImmediate(ddl);
    creator.ExecuteImmediate(
        "insert into items values (1, 'alpha', 0.1, 3, '2024-01-31 10:00:00.1234', 'long text', "
        "'AB')");
    creator.ExecuteImmediate("insert into items values (2, 'beta', null, null, null, null, null)");
    Configure(connection_);
  }

  void Configure(Connection& c) const {
    c.SetParam("Database", path_);
    UseAdministrator(c);
  }

  std::unique_ptr<Query> MakeQuery(const std::string& sql, const std::string& name = "q") {
    auto q = std::make_unique<Query>(name);
    q->SetConnection(&connection_);
    q->SetSql({sql});
    return q;
  }

  int64_t Count(const std::string& table) {
    Connection other;
    Configure(other);
    Query q("count");
    q.SetConnection(&other);
    q.SetSql({"select count(*) from " + table});
    q.Open();
    EXPECT_TRUE(q.Next());
    return std::get<int64_t>(q.row()[0]);
  }

  testing::TempDir dir_;
  std::string path_;
  Connection connection_;
};

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.message();
  }
  return "(no error)";
}

TEST_F(DriverTest, ConnectionRules) {
  Connection bare;
  Query q("q");
  q.SetConnection(&bare);
  q.SetSql({"select 1 from rdb$database"});
  EXPECT_EQ(MessageOf([&] { q.Open(); }), "Missing Database property");

  bare.SetParam("Database", "  " + path_ + " ");  // blanks around the name are trimmed
  q.Open();
  EXPECT_TRUE(bare.connected());

  Connection wrong;
  wrong.SetParam("Database", (dir_ / "missing.fdb").string());
  EXPECT_NE(MessageOf([&] { wrong.Open(); }).find("missing.fdb"), std::string::npos);
  EXPECT_FALSE(wrong.connected());
}

TEST_F(DriverTest, ClosingTheConnectionClosesItsQueriesAndUseReconnects) {
  auto q = MakeQuery("select id from items order by id");
  q->Open();
  ASSERT_TRUE(q->Next());
  connection_.Close();
  EXPECT_FALSE(q->is_open());
  EXPECT_FALSE(connection_.connected());
  EXPECT_TRUE(connection_.has_params());
  q->Open();  // reconnects with the parameters in place
  ASSERT_TRUE(q->Next());
  EXPECT_EQ(std::get<int32_t>(q->row()[0]), 1);
}

TEST_F(DriverTest, StatementsOutsideATransactionAreDurableAtOnce) {
  auto insert = MakeQuery("insert into log (id, msg) values (:id, :msg)");
  insert->params().SetByName("ID", int32_t{7});
  insert->params().SetByName("Msg", std::string("hello"));
  EXPECT_EQ(insert->Execute(), 1);
  EXPECT_EQ(Count("log"), 1);

  // A selectable procedure that writes keeps its writes once closed.
  auto proc = MakeQuery("select * from log_and_count(:msg)");
  proc->params().SetByName("MSG", std::string("x"));
  proc->Open();
  ASSERT_TRUE(proc->Next());
  EXPECT_EQ(std::get<int32_t>(proc->value("TOTAL")), 2);
  proc->Close();
  EXPECT_EQ(Count("log"), 2);
}

TEST_F(DriverTest, ExplicitTransactionsCommitOrRollBack) {
  auto insert = MakeQuery("insert into log (id) values (:id)");
  {
    Transaction tx(connection_);
    insert->params()[0].Set(int32_t{1});
    insert->Execute(&tx);
    tx.Rollback();
  }
  EXPECT_EQ(Count("log"), 0);
  {
    Transaction tx(connection_);
    insert->Execute(&tx);
    tx.Commit();
  }
  EXPECT_EQ(Count("log"), 1);
  {
    Transaction tx(connection_);
    insert->Execute(&tx);
    connection_.Close();  // a live transaction is rolled back with the connection
    EXPECT_FALSE(tx.active());
  }
  EXPECT_EQ(Count("log"), 1);
}

TEST_F(DriverTest, ValuesSurviveExactly) {
  auto write = MakeQuery("insert into items (id, name, price, qty, seen, note, code) "
                         "values (:id, :name, :price, :qty, :seen, :note, :code)");
  const double price = 0.1 + 0.2;  // not 0.3: the last bit must survive
  const Timestamp seen{60000, 123456789};
  const std::string name = "Citt\xE0 \x80";  // Windows-1252 bytes
  const std::string note(70000, 'n');         // longer than one blob segment
  write->params().SetByName("id", int32_t{3});
  write->params().SetByName("name", name);
  write->params().SetByName("price", price);
  write->params().SetByName("qty", int16_t{-2});
  write->params().SetByName("seen", seen);
  write->params().SetByName("note", note);
  write->params().ByName("code").SetNull(FieldType::String);
  write->Execute();

  auto read = MakeQuery("select name, price, qty, seen, note, code from items where id = 3");
  read->Open();
  ASSERT_TRUE(read->Next());
  EXPECT_EQ(std::get<std::string>(read->value("NAME")), name);
  EXPECT_EQ(std::get<double>(read->value("PRICE")), price);
  EXPECT_EQ(std::get<int16_t>(read->value("QTY")), -2);
  EXPECT_EQ(std::get<Timestamp>(read->value("SEEN")), seen);
  EXPECT_EQ(std::get<std::string>(read->value("NOTE")), note);
  EXPECT_TRUE(IsNull(read->value("CODE")));
  EXPECT_FALSE(read->Next());

  const auto& fields = read->fields();
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[0].type, FieldType::String);
  EXPECT_EQ(fields[0].size, 20);
  EXPECT_EQ(fields[0].relation, "ITEMS");
  EXPECT_EQ(fields[0].origin, "NAME");
  EXPECT_EQ(fields[2].type, FieldType::SmallInt);
  EXPECT_EQ(fields[4].type, FieldType::Memo);
}

// Amounts keep their decimal point on the way in: a scaled integer binds
// as the amount it stands for, in a value and in a comparison, at every
// width Firebird stores NUMERIC in; a double rounds to the column's scale.
TEST_F(DriverTest, ScaledIntegersBindAsTheirAmounts) {
  connection_.ExecuteImmediate(
      "create table amounts (id integer, a numeric(9,2), b numeric(15,2), c numeric(18,4))");
  struct Case {
    int32_t id;
    int64_t a, b, c;  // unscaled: 2, 2 and 4 decimal places
    const char* text;  // as the database prints them
  };
  const Case cases[] = {
      {1, 20050, 20050, 2005000, "200.50 200.50 200.5000"},
      {2, -12345, -999999999999, -12345678, "-123.45 -9999999999.99 -1234.5678"},
      {3, 0, 1, 1, "0.00 0.01 0.0001"},
  };
  auto write = MakeQuery("insert into amounts values (:id, :a, :b, :c)");
  for (const Case& c : cases) {
    write->params().SetByName("id", c.id);
    write->params().ByName("a").Set(c.a, 2);
    write->params().ByName("b").Set(c.b, 2);
    write->params().ByName("c").Set(c.c, 4);
    write->Execute();
  }
  auto as_text = MakeQuery(
      "select cast(a as varchar(30)) || ' ' || cast(b as varchar(30)) || ' ' || "
      "cast(c as varchar(30)) from amounts where id = :id");
  auto by_value = MakeQuery("select count(*) from amounts where a = :a and b = :b and c = :c");
  for (const Case& c : cases) {
    as_text->params().SetByName("id", c.id);
    as_text->Open();
    ASSERT_TRUE(as_text->Next());
    EXPECT_EQ(std::get<std::string>(as_text->row()[0]), c.text);
    // An expression comes from no column: nothing an update could write.
    EXPECT_EQ(as_text->fields()[0].relation, "");
    EXPECT_EQ(as_text->fields()[0].origin, "");
    as_text->Close();
    by_value->params().ByName("a").Set(c.a, 2);
    by_value->params().ByName("b").Set(c.b, 2);
    by_value->params().ByName("c").Set(c.c, 4);
    by_value->Open();
    ASSERT_TRUE(by_value->Next());
    EXPECT_EQ(std::get<int64_t>(by_value->row()[0]), 1) << c.text;
    by_value->Close();
  }
  // What a fetch hands out binds back unchanged.
  auto read = MakeQuery("select a, b, c from amounts where id = 2");
  read->Open();
  ASSERT_TRUE(read->Next());
  EXPECT_EQ(read->fields()[0].scale, 2);
  EXPECT_EQ(std::get<int64_t>(read->row()[0]), -12345);
  EXPECT_EQ(std::get<int64_t>(read->row()[2]), -12345678);
  read->Close();

  auto update = MakeQuery("update amounts set b = :b where id = 3");
  update->params().SetByName("b", 0.1 + 0.2);
  update->Execute();
  as_text->params().SetByName("id", int32_t{3});
  as_text->Open();
  ASSERT_TRUE(as_text->Next());
  EXPECT_EQ(std::get<std::string>(as_text->row()[0]), "0.00 0.30 0.0001");
}

TEST_F(DriverTest, ParametersByNameAndPositionAndMissingValues) {
  auto q = MakeQuery("select name from items where id = :ID and name <> :Skip");
  ASSERT_EQ(q->params().size(), 2u);
  EXPECT_EQ(MessageOf([&] { q->Open(); }), "No value for parameter 'ID'");
  q->params().SetByName("id", int32_t{1});
  EXPECT_EQ(MessageOf([&] { q->Open(); }), "No value for parameter 'Skip'");
  q->params()[1].Set(std::string("zzz"));
  q->Open();
  ASSERT_TRUE(q->Next());
  EXPECT_EQ(std::get<std::string>(q->row()[0]), "alpha");
  EXPECT_EQ(MessageOf([&] { q->params().SetByName("nope", int32_t{1}); }),
            "Parameter 'nope' not found");
}

TEST_F(DriverTest, ListedFieldsFixTheColumns) {
  struct Case {
    std::vector<ListedField> listed;
    std::string error;  // empty: opens
  };
  const Case cases[] = {
      {{{"Id", FieldType::Integer, 0, true}, {"Name", FieldType::String, 10, false}}, ""},
      {{{"QTY", FieldType::Integer, 0, false}}, ""},  // a 16-bit column is an integer
      {{{"MISSING", FieldType::Integer, 0, false}}, "qItems: Field 'MISSING' not found"},
      {{{"NAME", FieldType::Integer, 0, false}},
       "qItems: Type mismatch for field 'NAME', expecting: Integer actual: String"},
      {{{"PRICE", FieldType::Timestamp, 0, false}},
       "qItems: Type mismatch for field 'PRICE', expecting: TimeStamp actual: Float"},
  };
  for (const Case& c : cases) {
    auto q = MakeQuery("select * from items order by id", "qItems");
    q->SetListedFields(c.listed);
    const std::string error = MessageOf([&] { q->Open(); });
    if (!c.error.empty()) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    ASSERT_EQ(error, "(no error)");
    ASSERT_EQ(q->fields().size(), c.listed.size());
    for (size_t i = 0; i < c.listed.size(); ++i) {
      EXPECT_EQ(q->fields()[i].name, c.listed[i].name);  // the listed letter case
    }
    ASSERT_TRUE(q->Next());
    EXPECT_EQ(q->row().size(), c.listed.size());
  }
  auto q = MakeQuery("select qty from items where id = 1");
  q->SetListedFields({{"QTY", FieldType::Integer, 0, false}});
  q->Open();
  ASSERT_TRUE(q->Next());
  EXPECT_EQ(std::get<int32_t>(q->row()[0]), 3);
}

TEST_F(DriverTest, ExecutableProcedureOutputsAndRowsAffected) {
  auto proc = MakeQuery("execute procedure next_id(:base)");
  proc->params()[0].Set(int32_t{41});
  proc->Execute();
  EXPECT_EQ(std::get<int32_t>(proc->output("RESULT")), 42);
  EXPECT_EQ(std::get<int32_t>(proc->output("doubled")), 82);

  auto update = MakeQuery("update items set qty = 1");
  EXPECT_EQ(update->Execute(), 2);
  auto none = MakeQuery("update items set qty = 1 where id = 99");
  EXPECT_EQ(none->Execute(), 0);
}

TEST_F(DriverTest, APreparedStatementIsReusedUntilTheSqlChanges) {
  auto q = MakeQuery("select id from items where id = :id");
  for (int32_t id : {1, 2, 1}) {
    q->params()[0].Set(id);
    q->Open();
    ASSERT_TRUE(q->Next());
    EXPECT_EQ(std::get<int32_t>(q->row()[0]), id);
    q->Close();
  }
  EXPECT_EQ(q->prepare_count(), 1);
  q->SetSql({"select id from items", "where id = :id"});  // values of surviving names are kept
  q->Open();
  EXPECT_EQ(q->prepare_count(), 2);
  q->SetSql({});
  EXPECT_TRUE(q->params().empty());
}

TEST_F(DriverTest, FailuresOfUse) {
  Query detached("q");
  detached.SetSql({"select 1 from rdb$database"});
  EXPECT_EQ(MessageOf([&] { detached.Open(); }),
            "SQLConnection property required for this operation");
  auto empty = MakeQuery("  ");
  EXPECT_EQ(MessageOf([&] { empty->Open(); }), "Missing query, table name or procedure name");
  auto bad = MakeQuery("select nothing from nowhere");
  EXPECT_NE(MessageOf([&] { bad->Open(); }).find("NOWHERE"), std::string::npos);
  EXPECT_FALSE(bad->is_open());
}

TEST_F(DriverTest, QueriesOfADestroyedConnectionLoseIt) {
  auto c = std::make_unique<Connection>();
  Configure(*c);
  Query q("q");
  q.SetConnection(c.get());
  q.SetSql({"select id from items"});
  q.Open();
  c.reset();
  EXPECT_EQ(q.connection(), nullptr);
  EXPECT_FALSE(q.is_open());
}

// The runtime folder is the owner's alone, except that a group let through
// to the socket (mode 0710) keeps passing when the owner's programs start.
TEST(RuntimeDirTest, OnlyTheOwnerAndAGroupPassingThrough) {
  const orvala::testing::TempDir dir;
  const auto folder = dir / "run";
  const char* saved = std::getenv("ORVALA_RUNTIME_DIR");
  const std::string restore = saved ? saved : "";
  setenv("ORVALA_RUNTIME_DIR", folder.c_str(), 1);
  const auto mode = [&] {
    struct stat info {};
    ::stat(folder.c_str(), &info);
    return info.st_mode & 0777;
  };
  struct Case {
    mode_t before;  // 0: the folder does not exist yet
    mode_t after;
  } const cases[] = {{0, 0700}, {0777, 0710}, {0700, 0700}, {0750, 0710}, {0705, 0700}};
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder);
    if (c.before) {
      std::filesystem::create_directory(folder);
      ::chmod(folder.c_str(), c.before);
    }
    EXPECT_EQ(RuntimeDir(), folder);
    EXPECT_EQ(mode(), c.after) << std::oct << c.before;
  }
  if (saved) {
    setenv("ORVALA_RUNTIME_DIR", restore.c_str(), 1);
  } else {
    unsetenv("ORVALA_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace orvala::driver
