// The data path as a client drives it: orvala-cli --inproc as a real
// process over a fresh database, every change read back from the database
// afterwards.
#include <gtest/gtest.h>

#include "client/cli_test_harness.h"

namespace orvala::client {
namespace {

using testing::CliRun;

class DataPathTest : public testing::CliTest {
 protected:
  // The single string a SELECT answers, as the database holds it.
  std::string Text(const std::string& sql) {
    driver::Query q("text");
    q.SetConnection(&admin_);
    q.SetSql({sql});
    q.Open();
    if (!q.Next()) return "(no row)";
    const Value& v = q.row()[0];
    if (IsNull(v)) return "(null)";
    return std::get<std::string>(v);
  }
};

// Scaled amounts in SET, in WHERE and in inserts, at each precision the
// database stores differently (32-bit, 64-bit), negative ones included.
// The database's own text of each value is compared, so nothing rounds.
TEST_F(DataPathTest, DecimalsTravelExactlyInSetWhereAndInsert) {
  Sql("create table TN (ID integer not null primary key, A numeric(9,2), B numeric(15,2), "
      "C numeric(18,4))");
  Sql("insert into TN values (1, 123.45, -123.45, 1234567890123.4567)");
  Sql("insert into TN values (2, -0.05, 0.01, -0.0001)");
  Sql("insert into TN values (3, 1.00, 2.00, 3.0000)");
  const CliRun run = Run(R"(OpenDB
AddProvider PN "select * from TN"
AS_ApplyUpdates PN {"modify":[{"old":{"ID":1,"A":"123.45","B":"-123.45","C":"1234567890123.4567"},"new":{"A":"200.50","B":"-9999999999999.99","C":"-0.0001"}}]} 0
AS_ApplyUpdates PN {"modify":[{"old":{"ID":2,"A":"-0.05","B":"0.01","C":"-0.0001"},"new":{"ID":20}}]} 0
AS_ApplyUpdates PN {"insert":[{"ID":4,"A":"-9999999.99","B":"0.00","C":"99999999999999.9999"}]} 0
AS_ApplyUpdates PN {"delete":[{"ID":3,"A":"1.00","B":"2.00","C":"3.0000"}]} 0
AS_ApplyUpdates PN {"modify":[{"old":{"ID":4,"A":"-9999999.98","B":"0.00","C":"99999999999999.9999"},"new":{"A":"1"}}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 7u) << run.errors;
  for (size_t i = 2; i <= 5; ++i) {
    EXPECT_EQ(run.calls[i]["errorCount"], 0) << i << ": " << run.calls[i].dump();
  }
  // An old value that differs in the last decimal place is another row.
  EXPECT_EQ(run.calls[6]["errorCount"], 1);
  EXPECT_EQ(run.calls[6]["errors"][0]["message"], "Record not found or changed by another user");

  EXPECT_EQ(Text("select A || ' ' || B || ' ' || C from TN where ID = 1"),
            "200.50 -9999999999999.99 -0.0001");
  EXPECT_EQ(Scalar("select count(*) from TN where ID = 20 and A = -0.05"), 1);
  EXPECT_EQ(Text("select A || ' ' || B || ' ' || C from TN where ID = 4"),
            "-9999999.99 0.00 99999999999999.9999");
  EXPECT_EQ(Scalar("select count(*) from TN where ID = 3"), 0);
}

// A currency handed to AddParameter is an integer of ten-thousandths; it
// binds as exactly that, in a fetch's WHERE and in an executed statement,
// where a double would lose the last digits of a large amount.
TEST_F(DataPathTest, CurrencyParametersBindExactly) {
  Sql("create table TN (ID integer not null primary key, C numeric(18,4))");
  Sql("insert into TN values (1, 12345678901234.5678)");
  Sql("insert into TN values (2, 12345678901234.5679)");
  const CliRun run = Run(R"(OpenDB
AddProvider PQ "select ID from TN where C = :C"
AddParameter C {"vt":"CY","value":"12345678901234.5678"} PQ
AS_GetRecords PQ -1
AddProvider PU "update TN set C = :C where ID = 2"
AddParameter C {"vt":"CY","value":"-42.4242"} PU
AS_Execute PU
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 7u) << run.errors;
  EXPECT_EQ(run.calls[2]["result"]["value"], 0);
  EXPECT_EQ(run.calls[3]["rows"], Json::parse("[[1]]")) << run.calls[3].dump();
  EXPECT_EQ(run.calls[6]["status"], "0x00000000") << run.calls[6].dump();
  EXPECT_EQ(Text("select cast(C as varchar(30)) from TN where ID = 2"), "-42.4242");
}

// The supplier hook writes through statements of its own: a scaled amount
// reaches them with its decimal places too.
TEST_F(DataPathTest, TheSupplierHookBindsDecimalsExactly) {
  const CliRun run = Run(R"(OpenDB
setQuery "select ID_FORNITORI, ID_DITTE, MASTRO, CONTO, SOTTOCONTO, ID_TAB_COND_PAG, cast(SCONTO_1 as numeric(9,2)) as SCONTO_1, SCONTO_2, MASTRO_COSTI, CONTO_COSTI, SOTTOCONTO_COSTI, DETTAGLIO_COSTI, NOTE1, NOTE2, VALUTA from FORNITORI_DITTE" 36
AS_ApplyUpdates SelectFornitoriDitte {"modify":[{"old":{"ID_FORNITORI":2,"ID_DITTE":"00001","MASTRO":30,"CONTO":1,"SOTTOCONTO":2,"ID_TAB_COND_PAG":1,"SCONTO_1":"0.00","SCONTO_2":0.0,"MASTRO_COSTI":60,"CONTO_COSTI":1,"SOTTOCONTO_COSTI":2,"DETTAGLIO_COSTI":0,"NOTE1":null,"NOTE2":null,"VALUTA":"EUR"},"new":{"SCONTO_1":"-12.50"}}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 3u) << run.errors;
  EXPECT_EQ(run.calls[2]["errorCount"], 0) << run.calls[2].dump();
  EXPECT_EQ(Scalar("select count(*) from FORNITORI_DITTE where ID_FORNITORI = 2 and "
                   "ID_DITTE = '00001' and SCONTO_1 = -12.5"),
            1);
}

// A column computed by an expression comes from no table: it has no
// origin, and the resolver writes the column that the field is named after.
TEST_F(DataPathTest, ComputedColumnsHaveNoOriginAndResolveByTheirName) {
  Sql("create table TC (ID integer not null, S varchar(20), K varchar(5))");
  Sql("insert into TC values (1, 'a', 'k')");
  struct Case {
    const char* sql;
    const char* field;
    const char* old_value;
  };
  const Case cases[] = {
      {"select ID, cast(S as varchar(20)) as S from TC", "S", "a"},
      {"select ID, S || '' as S from TC", "S", "b"},
      {"select ID, 'k' as K from TC", "K", "k"},
  };
  std::string script = "OpenDB\n";
  const char* next[] = {"b", "c", "z"};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const std::string name = "C" + std::to_string(i);
    script += "AddProvider " + name + " \"" + cases[i].sql + "\"\n";
    script += "AS_GetRecords " + name + " -1\n";
    script += "AS_ApplyUpdates " + name + " {\"modify\":[{\"old\":{\"ID\":1,\"" + cases[i].field +
              "\":\"" + cases[i].old_value + "\"},\"new\":{\"" + cases[i].field + "\":\"" +
              next[i] + "\"}}]} 0\n";
  }
  const CliRun run = Run(script);
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 1 + 3 * std::size(cases)) << run.errors;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Json& fetched = run.calls[2 + 3 * i];
    ASSERT_EQ(fetched["fields"].size(), 2u) << cases[i].sql;
    EXPECT_EQ(fetched["fields"][0]["origin"], "TC.ID") << cases[i].sql;
    EXPECT_FALSE(fetched["fields"][1].contains("origin")) << fetched.dump();
    EXPECT_EQ(run.calls[3 + 3 * i]["errorCount"], 0) << run.calls[3 + 3 * i].dump();
  }
  EXPECT_EQ(Text("select S || ' ' || K from TC"), "c z");
}

// A field whose name holds a quote, as a client may name it, stays one
// column name: it cannot rewrite the columns around it.
TEST_F(DataPathTest, AHostileFieldNameCannotRewriteAnotherColumn) {
  Sql("create table TH (ID integer not null, D varchar(10), E varchar(10))");
  Sql("insert into TH values (1, 'd', 'e')");
  const CliRun run = Run(R"(OpenDB
AddProvider H "select ID, cast(D as varchar(10)) as \"D\"\" = 'X', \"\"E\" from TH"
AS_GetRecords H -1
AS_ApplyUpdates H {"modify":[{"old":{"ID":1,"D\" = 'X', \"E":"d"},"new":{"D\" = 'X', \"E":"y"}}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 4u) << run.errors;
  EXPECT_EQ(run.calls[2]["fields"][1]["name"], "D\" = 'X', \"E") << run.calls[2].dump();
  EXPECT_EQ(run.calls[3]["errorCount"], 1) << run.calls[3].dump();
  EXPECT_NE(run.calls[3]["errors"][0]["message"].get<std::string>().find("Column unknown"),
            std::string::npos)
      << run.calls[3].dump();
  EXPECT_EQ(Text("select D || ' ' || E from TH"), "d e");
}

// A detail fetched on its own follows its master's current row; a
// parameter with a value of its own keeps it.
TEST_F(DataPathTest, ADetailFetchedAloneTakesTheMastersCurrentRow) {
  Sql("create table TM (HID integer not null, NAME varchar(10))");
  Sql("create table TL (HID integer not null, LINE integer not null)");
  Sql("insert into TM values (1, 'one')");
  Sql("insert into TM values (2, 'two')");
  for (const char* line : {"(1, 11)", "(1, 12)", "(2, 21)"}) {
    Sql(std::string("insert into TL values ") + line);
  }
  const CliRun run = Run(R"(OpenDB
AddMasterProvider M "select HID, NAME from TM order by HID" MS
AddDetailProvider D "select LINE from TL where HID = :HID order by LINE" MS
AS_GetRecords M 1
AS_GetRecords D -1
AS_GetRecords M 1
AS_GetRecords D -1
AddParameter HID {"vt":"I4","value":1} D
AS_GetRecords D -1
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 9u) << run.errors;
  EXPECT_EQ(run.calls[3]["rows"][0][0], 1) << run.calls[3].dump();
  EXPECT_EQ(run.calls[4]["rows"], Json::parse("[[11], [12]]")) << run.calls[4].dump();
  EXPECT_EQ(run.calls[5]["rows"][0][0], 2) << run.calls[5].dump();
  EXPECT_EQ(run.calls[6]["rows"], Json::parse("[[21]]")) << run.calls[6].dump();
  EXPECT_EQ(run.calls[8]["rows"], Json::parse("[[11], [12]]")) << run.calls[8].dump();
}

// Executing a provider whose SQL is a SELECT runs it and hands back
// nothing: no rows, and no row's columns as output parameters.
TEST_F(DataPathTest, ExecutingASelectReturnsNoRowsNorOutputs) {
  Sql("create table TS (ID integer not null)");
  for (int i = 1; i <= 3; ++i) Sql("insert into TS values (" + std::to_string(i) + ")");
  const CliRun run = Run(R"(OpenDB
AddProvider S "select ID from TS where ID >= :LO"
AS_Execute ["S", "", {"LO": 1}]
AddProvider P "execute procedure NEXTVAL_NOT_THERE"
AS_Execute P
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 5u) << run.errors;
  EXPECT_EQ(run.calls[2]["status"], "0x00000000") << run.calls[2].dump();
  EXPECT_FALSE(run.calls[2].contains("error")) << run.calls[2].dump();
  EXPECT_TRUE(!run.calls[2].contains("params") || run.calls[2]["params"].empty())
      << run.calls[2].dump();
  // Anything else still executes as a statement, and its failure reaches the client.
  EXPECT_NE(run.calls[4]["status"], "0x00000000") << run.calls[4].dump();
}

// A database error in a row carries the database's own code, and every
// error row the values the row failed with. (Detail rows and their path:
// ClientRoundTripTest.AFailingDetailRowIsMarkedWhereItStands.)
TEST_F(DataPathTest, ErrorRowsCarryTheDatabasesCodeAndTheValues) {
  Sql("create table TK (ID integer not null primary key, N numeric(15,2))");
  Sql("insert into TK values (1, 1.50)");
  const CliRun run = Run(R"(OpenDB
AddProvider K "select * from TK"
AS_ApplyUpdates K {"insert":[{"ID":1,"N":"-2.25"}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 3u) << run.errors;
  const Json& failed = run.calls[2]["errors"][0];
  EXPECT_EQ(failed["errorCode"], 335544665) << failed.dump();
  EXPECT_FALSE(failed.contains("path"));
  EXPECT_EQ(failed["row"], Json::parse(R"({"kind":"insert","new":{"ID":1,"N":"-2.25"}})"))
      << failed.dump();
  EXPECT_EQ(Scalar("select N from TK where ID = 1"), 150);
}

}  // namespace
}  // namespace orvala::client
