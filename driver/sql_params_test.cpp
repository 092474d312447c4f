#include "driver/sql_params.h"

#include <gtest/gtest.h>

namespace orvala::driver {
namespace {

TEST(SqlParamsTest, PlaceholdersOutsideLiteralsIdentifiersAndComments) {
  struct Case {
    const char* sql;
    const char* text;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"select * from t where a = :A and b=:b_2", "select * from t where a = ? and b=?",
       {"A", "b_2"}},
      {"select ':x' from t where c = :y", "select ':x' from t where c = ?", {"y"}},
      {"select 'it''s :x' from t", "select 'it''s :x' from t", {}},
      {"select \"odd:name\" from t where d = :z", "select \"odd:name\" from t where d = ?", {"z"}},
      {"select 1 -- :comment\nfrom t where e=:e", "select 1 -- :comment\nfrom t where e=?", {"e"}},
      {"select /* :c */ :p from t", "select /* :c */ ? from t", {"p"}},
      {"select * from p(:ID_DITTE,:id_anno)", "select * from p(?,?)", {"ID_DITTE", "id_anno"}},
      {"select :a, :a from t", "select ?, ? from t", {"a", "a"}},
      {"select '10:30' from t", "select '10:30' from t", {}},
      {"select : x from t", "select : x from t", {}},
      {"select 'unterminated :x", "select 'unterminated :x", {}},
      {"select /* open :x", "select /* open :x", {}},
      {":", ":", {}},
      {"update t set a = ? where b = :b and c = '?'", "update t set a = ? where b = ? and c = '?'",
       {"", "b"}},
  };
  for (const Case& c : cases) {
    const ParsedSql parsed = ParseSqlParams(c.sql);
    EXPECT_EQ(parsed.text, c.text) << c.sql;
    EXPECT_EQ(parsed.names, c.names) << c.sql;
  }
}

}  // namespace
}  // namespace orvala::driver
