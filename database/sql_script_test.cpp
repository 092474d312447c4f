#include "database/sql_script.h"

#include <gtest/gtest.h>

#include "common/error.h"

namespace orvala::database {
namespace {

TEST(SqlScriptTest, TerminatorsCommentsAndCommits) {
  const std::vector<ScriptStatement> statements = SplitSqlScript(
      "-- a comment; with a terminator\n"
      "create table t (a varchar(10) default ';');\n"
      "insert into t values ('x;y'); /* ; */ commit;\n"
      "set term ^ ;\n"
      "create procedure p as begin insert into t values (1); end^\n"
      "set term ; ^\n"
      "insert into t values ('--not a comment');\n");
  ASSERT_EQ(statements.size(), 5u);
  EXPECT_TRUE(statements[0].is_ddl);
  EXPECT_EQ(statements[0].sql, "create table t (a varchar(10) default ';')");
  EXPECT_EQ(statements[1].sql, "insert into t values ('x;y')");
  EXPECT_FALSE(statements[1].is_ddl);
  EXPECT_TRUE(statements[2].is_commit);
  EXPECT_EQ(statements[3].sql, "create procedure p as begin insert into t values (1); end");
  EXPECT_EQ(statements[4].sql, "insert into t values ('--not a comment')");
}

TEST(SqlScriptTest, AnUnterminatedStatementNamesItsLine) {
  try {
    SplitSqlScript("select 1 from rdb$database;\n\nselect 2\nfrom rdb$database");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.message(), "Unterminated statement at line 3");
  }
}

}  // namespace
}  // namespace orvala::database
