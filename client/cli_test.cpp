// orvala-cli as a real process with --inproc, over a fresh database whose
// location sits in a registry folder of the test's own.
#include "client/cli_test_harness.h"

namespace orvala::client {
namespace {

using testing::CliRun;
using testing::CliTest;
using testing::I4;

TEST_F(CliTest, ASessionSignsInFetchesAndIsGated) {
  const CliRun run = Run(R"(# before anyone opens the database the gate is shut
CanDo 1 'MENU'
OpenDB
Login DEMO demo 2024 00001

GetSession
AS_GetRecords SelectEsercizi -1
canDo 1 "MENU"
Logoff DEMO
CanDo 1 MENU
AS_GetRecords NoSuchProvider
)");
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 9u) << run.errors;

  const Json& refused = run.calls[0];
  EXPECT_EQ(refused["call"], "CanDo");
  EXPECT_EQ(refused["status"], "0x00000000");
  EXPECT_FALSE(refused.contains("result"));

  EXPECT_EQ(run.calls[1], Json::parse(R"({"call":"OpenDB","status":"0x00000000"})"));
  const Json& login = run.calls[2];
  EXPECT_EQ(login["result"], I4(0));
  EXPECT_EQ(login["out"]["ID_Utenti"]["vt"], "I4");

  EXPECT_EQ(run.calls[3]["result"], I4(0));
  EXPECT_EQ(run.calls[3]["out"]["SessionNumber"]["vt"], "I4");

  const Json& fetched = run.calls[4];
  EXPECT_EQ(fetched["status"], "0x00000000");
  EXPECT_FALSE(fetched["fields"].empty());
  EXPECT_TRUE(fetched["fields"][0].contains("name"));
  EXPECT_TRUE(fetched["fields"][0].contains("type"));
  EXPECT_TRUE(fetched["fields"][0].contains("size"));
  EXPECT_TRUE(fetched["fields"][0].contains("required"));
  EXPECT_EQ(fetched["rows"].size(), static_cast<size_t>(Scalar("select count(*) from esercizi")));
  EXPECT_EQ(fetched["recsOut"], fetched["rows"].size());
  EXPECT_EQ(fetched["out"]["RecsOut"], I4(static_cast<int32_t>(fetched["rows"].size())));
  EXPECT_FALSE(fetched.contains("result"));

  EXPECT_EQ(run.calls[5]["call"], "CanDo");
  EXPECT_TRUE(run.calls[5].contains("result"));
  EXPECT_EQ(run.calls[6]["result"], I4(0));
  EXPECT_FALSE(run.calls[7].contains("result"));

  const Json& failed = run.calls[8];
  EXPECT_EQ(failed["status"], "0x8000FFFF");
  EXPECT_EQ(failed["error"], "Provider not exported: NoSuchProvider");
}

TEST_F(CliTest, DeltasAndParametersInJson) {
  Sql("create table t (id integer, v varchar(10), d timestamp)");
  Sql("insert into t values (1, 'a', '2024-01-31 10:00:00')");
  Sql("insert into t values (2, 'b', null)");
  Sql("insert into t values (3, 'c', null)");
  const CliRun run = Run(R"(OpenDB
AddProvider T "select * from t order by id"
AS_GetRecords T -1
AS_ApplyUpdates T {"modify":[{"old":{"ID":1},"new":{"V":"caff\u00e8","D":null}}],"insert":[{"ID":5,"V":"e","D":"2024-02-29T23:59:59.5"}],"delete":[{"id":2}]}
AS_ApplyUpdates T {"modify":[{"old":{"ID":99,"V":"z","D":null},"new":{"V":"x"}}]} -1
AS_GetRecords T -1
AddProvider P "select id from t where id >= :LO order by id"
AS_GetRecords ["P", -1, 0, "", {"LO": 3}]
AS_GetParams P
)");
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 9u) << run.errors;

  EXPECT_EQ(run.calls[3]["errorCount"], 0);
  EXPECT_EQ(run.calls[3]["errors"], Json::array());
  EXPECT_EQ(run.calls[3]["out"]["ErrorCount"], I4(0));
  // An old row that names every field is sent as given, fetched or not.
  EXPECT_EQ(run.calls[4]["errorCount"], 1);
  ASSERT_EQ(run.calls[4]["errors"].size(), 1u);
  EXPECT_EQ(run.calls[4]["errors"][0]["record"], 1);
  EXPECT_EQ(run.calls[4]["errors"][0]["message"], "Record not found or changed by another user");

  EXPECT_EQ(run.calls[5]["rows"], Json::parse(R"([[1, "caffè", null], [3, "c", null],
                                                   [5, "e", "2024-02-29T23:59:59.5000"]])"))
      << run.calls[5].dump();
  EXPECT_EQ(run.calls[7]["rows"], Json::parse("[[3], [5]]"));
  EXPECT_EQ(run.calls[8]["params"][0]["name"], "LO");
  EXPECT_EQ(run.calls[8]["params"][0]["value"], 3);
}

TEST_F(CliTest, ALineThatCannotBeReadStopsTheRunWithStatusTwo) {
  const CliRun run = Run("OpenDB\n\nLogin DEMO demo\nGetSession\n");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.calls.size(), 1u);
  EXPECT_NE(run.errors.find("line 3: Login takes 4 arguments"), std::string::npos) << run.errors;

  const CliRun unknown = Run("OpenDB\nAS_ApplyUpdates SelectEsercizi {\"insert\":[{\"NOPE\":1}]}\n");
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_NE(unknown.errors.find("line 2: argument Delta: the provider has no field NOPE"),
            std::string::npos)
      << unknown.errors;
}

}  // namespace
}  // namespace orvala::client
