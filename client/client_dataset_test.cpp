// The client dataset: its change log on its own, and full round trips
// through a remote object in process over a fresh database.
#include "client/client_dataset.h"

#include <gtest/gtest.h>

#include "client/orvala_proxy.h"
#include "client/provider_calls.h"
#include "common/error.h"
#include "registry/database_location.h"
#include "server/server_fixture.h"

namespace orvala::client {
namespace {

using packets::UpdateKind;

// ID integer, V string, N integer; rows (1,'a',10), (2,'b',20).
packets::DataPacket SmallPacket() {
  packets::DataPacket p;
  for (const auto& [name, type] : {std::pair{"ID", FieldType::Integer},
                                   std::pair{"V", FieldType::String},
                                   std::pair{"N", FieldType::Integer}}) {
    packets::Field f;
    f.name = name;
    f.type = type;
    p.fields.push_back(f);
  }
  p.rows = {{{int32_t{1}, std::string("a"), int32_t{10}}, {}},
            {{int32_t{2}, std::string("b"), int32_t{20}}, {}}};
  return p;
}

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.message();
  }
  return "(no error)";
}

TEST(ClientDatasetTest, TheChangeLogKeepsOnlyRealChanges) {
  ClientDataset ds;
  ds.AppendData(SmallPacket());
  // A value put back as it was is no change; an insert that is deleted again leaves nothing.
  ds.Set("v", std::string("z"));
  ds.Set("V", std::string("a"));
  EXPECT_EQ(ds.row_kind(), UpdateKind::Unmodified);
  ds.Insert();
  ds.Set("ID", int32_t{3});
  ds.Delete();
  EXPECT_FALSE(ds.has_changes());
  EXPECT_TRUE(ds.Delta().rows.empty());

  // Integers convert between widths; other kinds are refused.
  ds.First();
  ds.Set("N", int64_t{11});
  EXPECT_EQ(ds.Get("N"), Value{int32_t{11}});
  EXPECT_EQ(Message([&] { ds.Set("N", int64_t{1} << 40); }),
            "Field 'N' of type Integer cannot hold a value of type LargeInt");
  EXPECT_EQ(Message([&] { ds.Set("V", int32_t{1}); }),
            "Field 'V' of type String cannot hold a value of type Integer");
  EXPECT_EQ(Message([&] { ds.Get("nope"); }), "Field 'nope' not found");
  ds.MoveTo(99);
  EXPECT_EQ(Message([&] { ds.Get("ID"); }), "The dataset has no current row");

  ClientDataset blank;
  packets::DataPacket slice = SmallPacket();
  slice.has_metadata = false;
  EXPECT_EQ(Message([&] { blank.AppendData(slice); }),
            "The first data packet carries no field descriptions");
  slice.rows[0].values.pop_back();
  EXPECT_EQ(Message([&] { ds.AppendData(slice); }), "A data packet row does not fit its fields");
}

TEST(ClientDatasetTest, TheDeltaFollowsTheOrderOfTheChanges) {
  ClientDataset ds;
  ds.AppendData(SmallPacket());
  ds.MoveTo(1);
  ds.Delete();  // first: the row with ID 2 goes
  ds.Insert();  // then a row with the same key comes back
  ds.Set("ID", int32_t{2});
  ds.SetNull("V");
  ds.First();
  ds.SetNull("N");  // last: set to null, distinct from "not changed"
  const packets::DeltaPacket delta = ds.Delta();
  ASSERT_EQ(delta.rows.size(), 3u);
  EXPECT_EQ(delta.rows[0].kind, UpdateKind::Delete);
  EXPECT_EQ(delta.rows[0].old_values, SmallPacket().rows[1].values);
  EXPECT_EQ(delta.rows[1].kind, UpdateKind::Insert);
  EXPECT_EQ(delta.rows[1].new_values,
            (std::vector<std::optional<Value>>{Value{int32_t{2}}, Value{}, std::nullopt}));
  EXPECT_EQ(delta.rows[2].kind, UpdateKind::Modify);
  EXPECT_EQ(delta.rows[2].new_values,
            (std::vector<std::optional<Value>>{std::nullopt, std::nullopt, Value{}}));
}

// A row's old values are those it was fetched with, through any number of
// changes and a delete, until a merge makes its current values the old ones.
TEST(ClientDatasetTest, OldValuesAreTheFetchedOnesUntilMerged) {
  ClientDataset ds;
  ds.AppendData(SmallPacket());
  const auto fetched = SmallPacket().rows;
  ds.Set("V", std::string("x"));
  ds.Set("V", std::string("y"));
  ds.Delete();
  ds.Set("N", int32_t{21});
  packets::DeltaPacket delta = ds.Delta();
  ASSERT_EQ(delta.rows.size(), 2u);
  EXPECT_EQ(delta.rows[0].kind, UpdateKind::Delete);
  EXPECT_EQ(delta.rows[0].old_values, fetched[0].values);
  EXPECT_EQ(delta.rows[1].kind, UpdateKind::Modify);
  EXPECT_EQ(delta.rows[1].old_values, fetched[1].values);

  ds.MergeChangeLog();
  EXPECT_FALSE(ds.has_changes());
  ds.First();
  ds.Set("N", int32_t{22});
  delta = ds.Delta();
  ASSERT_EQ(delta.rows.size(), 1u);
  EXPECT_EQ(delta.rows[0].old_values,
            (std::vector<Value>{int32_t{2}, std::string("b"), int32_t{21}}));

  // An inserted row, once merged, is a fetched row like the others.
  ds.Insert();
  ds.Set("ID", int32_t{3});
  ds.MergeChangeLog();
  ds.Set("V", std::string("c"));
  delta = ds.Delta();
  ASSERT_EQ(delta.rows.size(), 1u);
  EXPECT_EQ(delta.rows[0].kind, UpdateKind::Modify);
  EXPECT_EQ(delta.rows[0].old_values, (std::vector<Value>{int32_t{3}, Value{}, Value{}}));

  // A packet with a row that does not fit appends none of its rows.
  packets::DataPacket bad = SmallPacket();
  bad.rows[1].values.pop_back();
  EXPECT_THROW(ds.AppendData(bad), Error);
  EXPECT_EQ(ds.row_count(), 2u);
}

class ClientRoundTripTest : public server::testing::ServerTest {
 protected:
  ClientRoundTripTest() : object_(NewObject()), proxy_(*object_) {
    registry::WriteDatabaseLocation(registry_, database_);
    EXPECT_EQ(proxy_.OpenDB(), S_OK);
  }

  void AddProvider(const std::u16string& name, const std::u16string& sql) {
    int32_t result = -1;
    ASSERT_EQ(proxy_.AddProvider(name, sql, result), S_OK);
    ASSERT_EQ(result, 0);
  }

  ClientDataset FetchAll(const std::u16string& provider, int32_t slice = -1) {
    ClientDataset ds;
    Fetch(proxy_, provider, ds, slice);
    return ds;
  }

  // Moves to the row whose field holds the value; false when none does.
  static bool Find(ClientDataset& ds, const char* field, const Value& value) {
    for (ds.First(); !ds.eof(); ds.Next()) {
      if (ds.Get(field) == value) return true;
    }
    return false;
  }

  std::unique_ptr<server::TOrvala> object_;
  OrvalaProxy proxy_;
};

TEST_F(ClientRoundTripTest, ACatalogueProviderEditedAndFetchedAgain) {
  ClientDataset ds = FetchAll(u"SelectArticoli", 7);  // several slices
  const int64_t rows = Scalar("select count(*) from articoli");
  ASSERT_EQ(static_cast<int64_t>(ds.row_count()), rows);
  ds.MoveTo(3);
  const Value codice = ds.Get("CODICE");
  ds.SetText("Descrizione", u"Caff\u00e8 tostato");
  const ApplyOutcome outcome = Apply(proxy_, u"SelectArticoli", ds, 0);
  EXPECT_EQ(outcome.error_count, 0);
  EXPECT_TRUE(outcome.errors.empty());
  EXPECT_FALSE(ds.has_changes());

  ClientDataset again = FetchAll(u"SelectArticoli");
  ASSERT_TRUE(Find(again, "CODICE", codice));
  EXPECT_EQ(again.GetText("DESCRIZIONE"), u"Caff\u00e8 tostato");
  EXPECT_EQ(again.Get("DESCRIZIONE"), Value{std::string("Caff\xe8 tostato")});
}

TEST_F(ClientRoundTripTest, EditsInsertsAndDeletesOfARunTimeProvider) {
  Sql("create table t (id integer, v varchar(10), n integer)");
  Sql("insert into t values (1, 'a', 10)");
  Sql("insert into t values (2, 'b', 20)");
  Sql("insert into t values (3, 'c', 30)");
  AddProvider(u"T", u"select * from t order by id");
  ClientDataset ds = FetchAll(u"T");
  ASSERT_EQ(ds.row_count(), 3u);
  ds.First();
  ds.SetText("V", u"x");
  ds.Next();
  ds.SetNull("N");
  ds.Next();
  ds.Delete();
  ds.Insert();
  ds.Set("ID", int32_t{4});
  ds.SetText("V", u"d");
  EXPECT_EQ(Apply(proxy_, u"T", ds, 0).error_count, 0);

  ClientDataset again = FetchAll(u"T");
  std::vector<std::vector<Value>> seen;
  for (again.First(); !again.eof(); again.Next()) {
    seen.push_back({again.Get("ID"), again.Get("V"), again.Get("N")});
  }
  const std::vector<std::vector<Value>> expected = {
      {int32_t{1}, std::string("x"), int32_t{10}},
      {int32_t{2}, std::string("b"), Value{}},
      {int32_t{4}, std::string("d"), Value{}},
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(ClientRoundTripTest, AFailingRowIsReadBackAgainstItsRow) {
  Sql("create table t (id integer, v varchar(10))");
  Sql("insert into t values (1, 'a')");
  Sql("insert into t values (2, 'b')");
  AddProvider(u"T", u"select * from t order by id");
  ClientDataset ds = FetchAll(u"T");
  ds.MoveTo(1);
  ds.SetText("V", u"good");
  ds.First();
  ds.SetText("V", u"lost");
  Sql("update t set v = 'other' where id = 1");  // someone else was quicker

  // Limit 0: the failure aborts the call, nothing is committed or merged.
  ApplyOutcome outcome = Apply(proxy_, u"T", ds, 0);
  EXPECT_EQ(outcome.error_count, 1);
  ASSERT_EQ(outcome.errors.size(), 1u);
  EXPECT_EQ(outcome.errors[0].error.record_number, 2);
  EXPECT_EQ(outcome.errors[0].error.response, packets::kResponseAbort);
  EXPECT_EQ(outcome.errors[0].position, 0u);
  EXPECT_EQ(outcome.errors[0].kind, UpdateKind::Modify);
  EXPECT_EQ(outcome.errors[0].old_values[1], Value{std::string("a")});
  EXPECT_EQ(Scalar("select count(*) from t where v = 'good'"), 0);
  ds.MoveTo(1);
  EXPECT_EQ(ds.row_kind(), UpdateKind::Modify);

  // No limit: the good row is committed and merged; the failing one stays.
  outcome = Apply(proxy_, u"T", ds, -1);
  ASSERT_EQ(outcome.errors.size(), 1u);
  EXPECT_EQ(outcome.errors[0].error.message, "Record not found or changed by another user");
  EXPECT_EQ(Scalar("select count(*) from t where v = 'good'"), 1);
  ds.MoveTo(1);
  EXPECT_EQ(ds.row_kind(), UpdateKind::Unmodified);
  ds.First();
  EXPECT_EQ(ds.row_kind(), UpdateKind::Modify);
  EXPECT_EQ(ds.row_error(), "Record not found or changed by another user");
  EXPECT_EQ(ds.Delta().rows.size(), 1u);
}

TEST_F(ClientRoundTripTest, MasterAndDetailAsNestedDatasets) {
  Sql("create table t (id integer, v varchar(10))");
  Sql("create table lines (id integer, line integer, txt varchar(10))");
  for (const char* row : {"1, 'one'", "2, 'two'", "3, 'three'"}) {
    Sql(std::string("insert into t values (") + row + ")");
  }
  Sql("insert into lines values (1, 1, 'one-a')");
  Sql("insert into lines values (1, 2, 'one-b')");
  Sql("insert into lines values (3, 1, 'three')");
  int32_t result = -1;
  ASSERT_EQ(proxy_.AddMasterProvider(u"M", u"select id, v from t order by id", u"D", result), S_OK);
  ASSERT_EQ(result, 0);
  ASSERT_EQ(proxy_.AddDetailProvider(u"L", u"select * from lines where id = :ID order by line",
                                     u"D", result),
            S_OK);
  ASSERT_EQ(result, 0);

  ClientDataset ds = FetchAll(u"M");
  ASSERT_EQ(ds.fields().size(), 3u);
  const std::string nested = ds.fields()[2].name;
  ASSERT_TRUE(ds.fields()[2].is_nested());
  ds.First();
  ClientDataset& lines = ds.Detail(nested);
  ASSERT_EQ(lines.row_count(), 2u);
  lines.MoveTo(1);
  EXPECT_EQ(lines.GetText("TXT"), u"one-b");
  lines.SetText("txt", u"changed");
  ds.MoveTo(2);
  ClientDataset& three = ds.Detail(nested);
  three.Insert();
  three.Set("ID", int32_t{3});
  three.Set("LINE", int32_t{2});
  three.SetText("TXT", u"added");

  // Unchanged masters travel only as parents of the changed details.
  const packets::DeltaPacket delta = ds.Delta();
  ASSERT_EQ(delta.rows.size(), 2u);
  EXPECT_EQ(delta.rows[0].kind, UpdateKind::Unmodified);
  ASSERT_EQ(delta.rows[0].details.size(), 1u);
  ASSERT_EQ(delta.rows[0].details[0].size(), 1u);
  EXPECT_EQ(delta.rows[0].details[0][0].kind, UpdateKind::Modify);
  EXPECT_EQ(delta.rows[1].details[0][0].kind, UpdateKind::Insert);

  EXPECT_EQ(Apply(proxy_, u"M", ds, 0).error_count, 0);
  EXPECT_FALSE(ds.has_changes());
  EXPECT_EQ(Scalar("select count(*) from lines where id = 1 and line = 2 and txt = 'changed'"), 1);
  EXPECT_EQ(Scalar("select count(*) from lines where id = 3"), 2);

  ClientDataset again = FetchAll(u"M");
  again.MoveTo(2);
  EXPECT_EQ(again.Detail(nested).row_count(), 2u);
}

// A detail row that fails is named by its master record and nested field:
// the dataset marks that detail row, not the master row of the same
// number, and the error carries the database's code and the row's values.
TEST_F(ClientRoundTripTest, AFailingDetailRowIsMarkedWhereItStands) {
  Sql("create table t (id integer, v varchar(10))");
  Sql("create table lines (id integer not null, line integer not null, txt varchar(10), "
      "primary key (id, line))");
  Sql("insert into t values (1, 'one')");
  Sql("insert into lines values (1, 1, 'one-a')");
  int32_t result = -1;
  ASSERT_EQ(proxy_.AddMasterProvider(u"M", u"select id, v from t order by id", u"D", result), S_OK);
  ASSERT_EQ(proxy_.AddDetailProvider(u"L", u"select * from lines where id = :ID order by line",
                                     u"D", result),
            S_OK);
  ClientDataset ds = FetchAll(u"M");
  const std::string nested = ds.fields()[2].name;
  ds.First();
  ds.SetText("V", u"uno");
  ClientDataset& lines = ds.Detail(nested);
  lines.Insert();  // a key that exists already
  lines.Set("ID", int32_t{1});
  lines.Set("LINE", int32_t{1});
  lines.SetText("TXT", u"dup");
  lines.Insert();
  lines.Set("ID", int32_t{1});
  lines.Set("LINE", int32_t{2});
  lines.SetText("TXT", u"fine");

  const ApplyOutcome outcome = Apply(proxy_, u"M", ds, -1);
  EXPECT_EQ(outcome.error_count, 1);
  ASSERT_EQ(outcome.errors.size(), 1u);
  const packets::ErrorRow& error = outcome.errors[0].error;
  EXPECT_EQ(error.record_number, 1);
  ASSERT_EQ(error.path.size(), 1u);
  EXPECT_EQ(error.path[0].record_number, 1);
  EXPECT_EQ(error.path[0].nested_field, nested);
  EXPECT_EQ(error.error_code, 335544665);  // unique key violation
  ASSERT_TRUE(error.row.has_value());
  EXPECT_EQ(error.row->kind, UpdateKind::Insert);
  ASSERT_EQ(error.fields.size(), 3u);
  EXPECT_EQ(error.fields[2].name, "TXT");
  EXPECT_EQ(error.row->new_values[2], Value{std::string("dup")});
  EXPECT_EQ(outcome.errors[0].kind, UpdateKind::Insert);
  EXPECT_EQ(outcome.errors[0].position, 1u);  // among the master row's lines

  // The master row and the good line are merged; the failed line keeps its
  // change and its message.
  EXPECT_EQ(Scalar("select count(*) from t where v = 'uno'"), 1);
  EXPECT_EQ(Scalar("select count(*) from lines where line = 2 and txt = 'fine'"), 1);
  ds.First();
  EXPECT_EQ(ds.row_kind(), UpdateKind::Unmodified);
  EXPECT_FALSE(ds.row_error().has_value());
  ClientDataset& after = ds.Detail(nested);
  after.MoveTo(1);
  EXPECT_EQ(after.row_kind(), UpdateKind::Insert);
  EXPECT_NE(after.row_error().value_or("").find("PRIMARY or UNIQUE KEY"), std::string::npos);
  after.MoveTo(2);
  EXPECT_EQ(after.row_kind(), UpdateKind::Unmodified);
  const packets::DeltaPacket left = ds.Delta();
  ASSERT_EQ(left.rows.size(), 1u);
  EXPECT_EQ(left.rows[0].kind, UpdateKind::Unmodified);
  ASSERT_EQ(left.rows[0].details[0].size(), 1u);
}

TEST_F(ClientRoundTripTest, GatedCallsLeaveTheResultAloneUntilSomeoneSignsIn) {
  // A fresh process: OpenDB has run in the fixture, so close the gate first.
  int32_t result = 42;
  ASSERT_EQ(proxy_.Logoff(u"DEMO", result), S_OK);
  result = 42;
  EXPECT_EQ(proxy_.CanDo(1, u"ANYTHING", result), S_OK);
  EXPECT_EQ(result, 42);
  Variant id_utenti = Variant::I4(7);
  ASSERT_EQ(proxy_.Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, result), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(id_utenti.type(), VarType::I4);
  result = 42;
  EXPECT_EQ(proxy_.CanDo(id_utenti.i4(), u"ANYTHING", result), S_OK);
  EXPECT_NE(result, 42);

  // Late binding reaches the same method.
  std::vector<int32_t> ids;
  ASSERT_EQ(proxy_.IdsOfNames({u"canDO", u"id_funzioni"}, ids), S_OK);
  EXPECT_EQ(ids, (std::vector<int32_t>{4, 1}));
  EXPECT_EQ(proxy_.IdsOfNames({u"CanDo", u"nope"}, ids), DISP_E_UNKNOWNNAME);
  std::vector<Variant> args{id_utenti, Variant::BStr(u"ANYTHING")};
  std::optional<Variant> late;
  EXPECT_EQ(proxy_.Invoke(4, args, late), S_OK);
  EXPECT_EQ(late, Variant::I4(result));
  EXPECT_EQ(proxy_.Invoke(29, args, late), DISP_E_MEMBERNOTFOUND);

  // A failure keeps its error information.
  Variant names;
  int32_t recs = -1;
  Variant params, owner;
  EXPECT_TRUE(Failed(proxy_.AS_GetRecords(u"NoSuchProvider", -1, recs, 0, u"", params, owner, names)));
  ASSERT_TRUE(proxy_.last_error().has_value());
  EXPECT_EQ(proxy_.last_error()->description, "Provider not exported: NoSuchProvider");
  EXPECT_EQ(recs, -1);
}

}  // namespace
}  // namespace orvala::client
