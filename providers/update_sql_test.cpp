#include "providers/update_sql.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "providers/sql_names.h"

namespace orvala::providers {
namespace {

using packets::DeltaRow;
using packets::Field;
using packets::UpdateKind;

Field MakeField(const char* name, FieldType type, int size, const char* origin) {
  Field f;
  f.name = name;
  f.type = type;
  f.size = size;
  f.origin = origin;
  return f;
}

std::vector<Field> Fields() {
  return {
      MakeField("ID", FieldType::Integer, 4, "ITEMS.ID"),
      MakeField("Name", FieldType::String, 20, ""),  // no origin: the name folded
      MakeField("NOTE", FieldType::Memo, 8, "ITEMS.NOTE"),
      MakeField("BIG", FieldType::String, 8192, "ITEMS.BIG"),
      MakeField("qty", FieldType::SmallInt, 2, "ITEMS.qty"),  // a column created quoted
  };
}

TEST(UpdateSqlTest, ModifyWithOneChangedColumn) {
  DeltaRow row;
  row.kind = UpdateKind::Modify;
  row.old_values = {int32_t{1}, std::string("a"), std::string("n"), std::string("b"), Value{}};
  row.new_values = {std::nullopt, Value{std::string("z")}, std::nullopt, std::nullopt, std::nullopt};
  const UpdateStatement s = BuildUpdateStatement(UpdateKind::Modify, Fields(), row, "\"ITEMS\"", "\"");
  EXPECT_EQ(s.sql,
            "update \"ITEMS\"  set\r\n"
            " \"NAME\" = ?\r\n"
            "where\r\n"
            " \"ID\" = ? and\r\n"
            " \"NAME\" = ? and\r\n"
            " \"qty\" is null\r\n");
  ASSERT_EQ(s.params.size(), 3u);
  EXPECT_EQ(s.params[0], Value{std::string("z")});
  EXPECT_EQ(s.params[1], Value{int32_t{1}});
  EXPECT_EQ(s.params[2], Value{std::string("a")});
}

TEST(UpdateSqlTest, InsertNamesOnlyTheColumnsSet) {
  DeltaRow row;
  row.kind = UpdateKind::Insert;
  row.new_values = {Value{int32_t{7}}, std::nullopt, Value{std::string("long")}, std::nullopt,
                    Value{}};
  const UpdateStatement s = BuildUpdateStatement(UpdateKind::Insert, Fields(), row, "\"ITEMS\"", "\"");
  EXPECT_EQ(s.sql,
            "insert into \"ITEMS\"\r\n"
            "  (\"ID\", \"NOTE\", \"qty\")\r\n"
            "values\r\n"
            "  (?, ?, ?)\r\n");
  EXPECT_EQ(s.params.size(), 3u);
  EXPECT_TRUE(IsNull(s.params[2]));  // set to null is not "not set"
}

TEST(UpdateSqlTest, DeleteAndItsFailures) {
  DeltaRow row;
  row.kind = UpdateKind::Delete;
  row.old_values = {int32_t{1}, Value{}, std::string("n"), std::string("b"), int16_t{3}};
  const UpdateStatement s = BuildUpdateStatement(UpdateKind::Delete, Fields(), row, "\"ITEMS\"", "\"");
  EXPECT_EQ(s.sql,
            "delete from \"ITEMS\" \r\n"
            "where\r\n"
            " \"ID\" = ? and\r\n"
            " \"NAME\" is null and\r\n"
            " \"qty\" = ?\r\n");

  std::vector<Field> only_blobs = {Fields()[2], Fields()[3]};
  row.old_values = {std::string("n"), std::string("b")};
  try {
    BuildUpdateStatement(UpdateKind::Delete, only_blobs, row, "\"ITEMS\"", "\"");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.message(), "Unable to find record.  No key specified");
  }
}

TEST(SqlNamesTest, TableNamesAndQuoting) {
  struct Case {
    const char* sql;
    const char* table;
  };
  const Case cases[] = {
      {"Select * from Ditte order by RagioneSociale", "DITTE"},
      {"SELECT * FROM DITTEBANCHE,BANCHE WHERE 1=1", "DITTEBANCHE"},
      {"select a.x from \"Mixed\" a", "Mixed"},
      {"select 'from x' from s.t", "S.T"},
      {"select * from\n  clienti_ditte order by mastro", "CLIENTI_DITTE"},
      {"select 1 /* from nowhere */ from rdb$database", "RDB$DATABASE"},
      {"select * from (select 1 from t)", ""},
      {"execute procedure p", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TableNameFromSql(c.sql), c.table) << c.sql;
  EXPECT_EQ(QuoteTableName("S.T", "\""), "\"S\".\"T\"");
  EXPECT_EQ(QuoteTableName("\"As Is\"", "\""), "\"As Is\"");
  EXPECT_EQ(QuoteTableName("DITTE", ""), "DITTE");
  EXPECT_EQ(TableNameFromDelta("ditte"), "DITTE");
  EXPECT_EQ(TableNameFromDelta("\"Ditte\""), "\"Ditte\"");
  EXPECT_EQ(ColumnName("Codice", ""), "CODICE");
  EXPECT_EQ(ColumnName("Codice", "ARTICOLI.CODICE"), "CODICE");
}

TEST(SqlNamesTest, SelectStatementsAreTold) {
  for (const char* sql : {"select 1 from rdb$database", "  -- c\n(SELECT 1 from t)",
                          "/* x */ with a as (select 1 from t) select * from a"}) {
    EXPECT_TRUE(IsSelectStatement(sql)) << sql;
  }
  for (const char* sql : {"update t set a = 1", "execute procedure p", "selected", ""}) {
    EXPECT_FALSE(IsSelectStatement(sql)) << sql;
  }
}

// No name can leave its quotes: a quote inside is doubled, and a table
// that arrives quoted must close its own quotes.
TEST(SqlNamesTest, HostileNamesStayInsideTheirQuotes) {
  EXPECT_EQ(QuoteIdentifier("D\" = 'X', \"E", "\""), "\"D\"\" = 'X', \"\"E\"");
  EXPECT_EQ(QuoteTableName("A\"B.C", "\""), "\"A\"\"B\".\"C\"");
  EXPECT_EQ(QuoteTableName("\"A\"\"B\".C", "\""), "\"A\"\"B\".C");
  for (const char* bad : {"\"T\" set X = 1 --", "\"T", "T\"", "\"T\".", "\"T\"\"", "\"A\" \"B\""}) {
    EXPECT_THROW(QuoteTableName(bad, "\""), Error) << bad;
  }
  EXPECT_THROW(QuoteIdentifier("A B", ""), Error);
  EXPECT_EQ(QuoteIdentifier("A$1", ""), "A$1");

  DeltaRow row;
  row.kind = UpdateKind::Modify;
  row.old_values = {int32_t{1}};
  row.new_values = {Value{int32_t{2}}};
  const UpdateStatement s = BuildUpdateStatement(
      UpdateKind::Modify, {MakeField("ID\" = 0, \"X", FieldType::Integer, 4, "")}, row, "\"T\"",
      "\"");
  EXPECT_EQ(s.sql,
            "update \"T\"  set\r\n \"ID\"\" = 0, \"\"X\" = ?\r\nwhere\r\n \"ID\"\" = 0, \"\"X\" = ?\r\n");
}

}  // namespace
}  // namespace orvala::providers
