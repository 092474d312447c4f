// orvala-cli as a real process with --inproc, over a fresh database whose
// location sits in a registry folder of the test's own.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "client/variant_json.h"
#include "registry/database_location.h"
#include "server/server_fixture.h"

namespace orvala::client {
namespace {

struct CliRun {
  int exit_status = -1;
  std::vector<Json> calls;  // one per line printed
  std::string errors;
};

class CliTest : public server::testing::ServerTest {
 protected:
  CliTest() { registry::WriteDatabaseLocation(registry_, database_); }

  CliRun Run(const std::string& script) {
    const std::filesystem::path input = dir_ / "script.txt";
    const std::filesystem::path output = dir_ / "out.txt";
    const std::filesystem::path errors = dir_ / "err.txt";
    std::ofstream(input) << script;
    const std::string command = "ORVALA_REGISTRY_DIR='" + (dir_ / "registry").string() + "' '" +
                                ORVALA_CLI + "' --inproc '" + input.string() + "' > '" +
                                output.string() + "' 2> '" + errors.string() + "'";
    const int status = std::system(command.c_str());
    CliRun run;
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream out(output);
    for (std::string line; std::getline(out, line);) run.calls.push_back(Json::parse(line));
    std::stringstream err;
    err << std::ifstream(errors).rdbuf();
    run.errors = err.str();
    return run;
  }
};

Json I4(int32_t n) { return Json::parse(R"({"vt":"I4","value":)" + std::to_string(n) + "}"); }

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
AS_ApplyUpdates T {"modify":[{"old":{"ID":1},"new":{"V":"caff\u00e8","D":null}}],"insert":[{"ID":5,"V":"e","D":"2024-02-29T23:59:59.5"}],"delete":[{"id":2}]}
AS_ApplyUpdates T {"modify":[{"old":{"ID":99},"new":{"V":"x"}}]} -1
AS_GetRecords T -1
AddProvider P "select id from t where id >= :LO order by id"
AS_GetRecords ["P", -1, 0, "", {"LO": 3}]
AS_GetParams P
)");
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 8u) << run.errors;

  EXPECT_EQ(run.calls[2]["errorCount"], 0);
  EXPECT_EQ(run.calls[2]["errors"], Json::array());
  EXPECT_EQ(run.calls[2]["out"]["ErrorCount"], I4(0));
  EXPECT_EQ(run.calls[3]["errorCount"], 1);
  ASSERT_EQ(run.calls[3]["errors"].size(), 1u);
  EXPECT_EQ(run.calls[3]["errors"][0]["record"], 1);
  EXPECT_EQ(run.calls[3]["errors"][0]["message"], "Record not found or changed by another user");

  EXPECT_EQ(run.calls[4]["rows"], Json::parse(R"([[1, "caffè", null], [3, "c", null],
                                                   [5, "e", "2024-02-29T23:59:59.5000"]])"))
      << run.calls[4].dump();
  EXPECT_EQ(run.calls[6]["rows"], Json::parse("[[3], [5]]"));
  EXPECT_EQ(run.calls[7]["params"][0]["name"], "LO");
  EXPECT_EQ(run.calls[7]["params"][0]["value"], 3);
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
