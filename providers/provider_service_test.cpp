// The provider operations and the update resolver against a fresh
// reference database.
#include "common/ascii.h"
#include "common/utf8.h"
#include "driver/administrator.h"
#include "providers/provider_service.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "common/codepage.h"
#include "common/error.h"
#include "packets/packet_variant.h"
#include "tests/database_fixture.h"

namespace orvala::providers {
namespace {

class ProviderServiceTest : public ::testing::Test {
 protected:
  ProviderServiceTest()
      : database_(orvala::testing::FreshDatabase(dir_).string()),
        catalogue_(catalogue::Module::Catalogue),
        reports_(catalogue::Module::Report),
        service_(ServiceContext{&catalogue_, &reports_, &connection_,
                                [this](int32_t) { return next_suffix_++; },
                                [] { return std::vector<std::string>{"OrvalaConnection", "spLogin"}; }}) {
    connection_.SetParam("Database", database_);
    driver::UseAdministrator(connection_);
    catalogue_.Bind(&connection_);
    reports_.Bind(&connection_);
  }

  packets::DataPacket Fetch(const std::string& provider, int32_t count, int32_t options = 0,
                            Variant params = Variant(), int32_t* recs_out = nullptr) {
    int32_t recs = -2;
    const Variant packet = service_.GetRecords(provider, count, recs, options, "", params);
    if (recs_out) *recs_out = recs;
    return packets::DataPacketFromVariant(packet);
  }

  packets::ErrorPacket Apply(const std::string& provider, const packets::DeltaPacket& delta,
                             int32_t max_errors, int32_t& error_count) {
    const Variant result = service_.ApplyUpdates(
        provider, packets::ToVariant(delta, packets::Encoding::Binary), max_errors, error_count);
    return packets::ErrorPacketFromVariant(result);
  }

  void Sql(const std::string& sql) { connection_.ExecuteImmediate(sql); }
  int64_t Count(const std::string& sql) {
    driver::Query q("count");
    q.SetConnection(&connection_);
    q.SetSql({sql});
    q.Open();
    q.Next();
    return std::get<int64_t>(q.row()[0]);
  }

  std::string Message(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.message();
    }
    return "(no error)";
  }

  orvala::testing::TempDir dir_;
  std::string database_;
  driver::Connection connection_;
  catalogue::QueryModule catalogue_;
  catalogue::QueryModule reports_;
  int32_t next_suffix_ = 4711;
  ProviderService service_;
};

// A delta that modifies `row` of `packet`, changing the listed columns.
packets::DeltaRow Modify(const packets::DataPacket& packet, size_t row,
                         const std::map<size_t, Value>& changes) {
  packets::DeltaRow d;
  d.kind = packets::UpdateKind::Modify;
  d.old_values = packet.rows[row].values;
  d.new_values.resize(d.old_values.size());
  for (const auto& [column, value] : changes) d.new_values[column] = value;
  return d;
}

TEST_F(ProviderServiceTest, NamesAreListedSortedWithoutRegardToCase) {
  Variant names = service_.GetProviderNames();
  ASSERT_EQ(names.strings().size(), 147u);
  for (size_t i = 1; i < names.strings().size(); ++i) {
    EXPECT_LE(ToUtf8(names.strings()[i - 1]).size() > 0, true);
    std::string a = ToUpperAscii(ToUtf8(names.strings()[i - 1]));
    std::string b = ToUpperAscii(ToUtf8(names.strings()[i]));
    EXPECT_LE(a, b);
  }
  service_.AddProvider("Mine", "select * from ditte");
  EXPECT_EQ(service_.GetProviderNames().strings().size(), 148u);
}

TEST_F(ProviderServiceTest, FetchingInSlicesContinuesAndThenCloses) {
  service_.AddProvider("P", "select codice from articoli order by codice rows 25");
  driver::Query* query = service_.FindProvider("P")->query();
  int32_t recs = 0;
  std::vector<std::string> seen;
  const int32_t expected[] = {10, 10, 5};
  for (int slice = 0; slice < 3; ++slice) {
    const packets::DataPacket packet = Fetch("P", 10, 0, Variant(), &recs);
    EXPECT_EQ(recs, expected[slice]);
    EXPECT_EQ(packet.has_metadata, slice == 0);  // only the first packet ever
    for (const packets::Row& r : packet.rows) seen.push_back(std::get<std::string>(r.values[0]));
  }
  EXPECT_FALSE(query->is_open());
  EXPECT_EQ(seen.size(), 25u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), 25u);

  // Count 0: descriptions only, and the query stays open.
  packets::DataPacket packet = Fetch("P", 0, 0, Variant(), &recs);
  EXPECT_EQ(recs, 0);
  EXPECT_TRUE(packet.rows.empty());
  ASSERT_EQ(packet.fields.size(), 1u);
  EXPECT_EQ(packet.fields[0].name, "CODICE");
  EXPECT_EQ(packet.fields[0].origin, "ARTICOLI.CODICE");
  EXPECT_TRUE(query->is_open());

  // The reset bit starts again from the first row.
  Fetch("P", 3);
  packet = Fetch("P", 2, 2);
  EXPECT_EQ(std::get<std::string>(packet.rows[0].values[0]), seen[0]);
  packet = Fetch("P", -1, 0, Variant(), &recs);
  EXPECT_EQ(recs, 23);
  EXPECT_FALSE(query->is_open());
}

TEST_F(ProviderServiceTest, ParametersSentWithAFetchRestartIt) {
  service_.AddProvider("P", "select codice from articoli where codice >= :DA order by codice");
  EXPECT_EQ(Message([&] { Fetch("P", 5); }), "No value for parameter 'DA'");
  packets::ParamPacket params;
  params.params.push_back({"DA", std::string("A"), FieldType::String, packets::kParamInput});
  const Variant sent = packets::ToVariant(params, packets::Encoding::Binary);
  packets::DataPacket first = Fetch("P", 2, 0, sent);
  Fetch("P", 2);
  packets::DataPacket again = Fetch("P", 2, 0, sent);
  EXPECT_EQ(first.rows, again.rows);
}

TEST_F(ProviderServiceTest, FailuresOfTheOperations) {
  int32_t recs = 0;
  Variant none;
  EXPECT_EQ(Message([&] { service_.GetRecords("Nope", -1, recs, 0, "", none); }),
            "Provider not exported: Nope");
  EXPECT_EQ(Message([&] { service_.GetRecords("SelectDitte", -1, recs, 0, "select 1", none); }),
            "CommandText changes are not allowed");
  EXPECT_EQ(Fetch("selectditte", -1).rows.size(), Fetch("SelectDitte", -1).rows.size());
  EXPECT_EQ(Message([&] { Fetch("Select", -1); }), "Missing query, table name or procedure name");
  EXPECT_EQ(Message([&] { service_.RowRequest("SelectDitte", Variant::Null(), 1); }),
            "Unable to find record.  No key specified");
  EXPECT_EQ(Message([&] {
              service_.ApplyUpdates("SelectDitte", Variant::Bytes(ByteArray(21)), 0, recs);
            }),
            "Invalid data packet");
}

TEST_F(ProviderServiceTest, ListedFieldsKeepTheirLetterCase) {
  const packets::DataPacket comuni = Fetch("SelectComuni", -1);
  ASSERT_EQ(comuni.fields.size(), 5u);
  EXPECT_EQ(comuni.fields[1].name, "NOME");
  EXPECT_TRUE(comuni.fields[1].required);
  EXPECT_EQ(comuni.fields[4].size, 4);
  EXPECT_FALSE(comuni.rows.empty());
}

class ResolverTest : public ProviderServiceTest {
 protected:
  void SetUp() override {
    Sql("create table t (id integer, v varchar(10), f double precision, n integer)");
    Sql("insert into t values (1, 'a', 0.1, 1)");
    Sql("insert into t values (2, 'b', 0.2, null)");
    Sql("insert into t values (3, 'c', 0.3, 3)");
    Sql("insert into t values (4, 'd', 0.4, 4)");
    Sql("insert into t values (5, 'e', 0.5, 5)");
    service_.AddProvider("T", "select * from t order by id");
    packet_ = Fetch("T", -1);
    ASSERT_EQ(packet_.rows.size(), 5u);
  }

  // Five modifications of v, rows 2 and 4 (1-based) made to miss.
  packets::DeltaPacket TwoBadRowsOfFive() {
    packets::DeltaPacket delta;
    delta.fields = packet_.fields;
    for (size_t i = 0; i < 5; ++i) {
      packets::DeltaRow row = Modify(packet_, i, {{1, Value{std::string("new")}}});
      if (i == 1 || i == 3) row.old_values[1] = std::string("stale");
      delta.rows.push_back(row);
    }
    return delta;
  }

  packets::DataPacket packet_;
};

TEST_F(ResolverTest, TheErrorLimitDecidesWhatIsCommitted) {
  struct Case {
    int32_t max_errors;
    int32_t error_count;
    std::vector<int32_t> responses;
    int64_t committed;
  };
  const Case cases[] = {
      {0, 1, {2}, 0},
      {1, 2, {1, 2}, 0},
      {2, 2, {1, 1}, 3},
      {-1, 2, {1, 1}, 3},
  };
  for (const Case& c : cases) {
    Sql("update t set v = case id when 1 then 'a' when 2 then 'b' when 3 then 'c' when 4 then 'd' else 'e' end");
    int32_t errors = -1;
    const packets::ErrorPacket packet = Apply("T", TwoBadRowsOfFive(), c.max_errors, errors);
    EXPECT_EQ(errors, c.error_count) << c.max_errors;
    ASSERT_EQ(packet.rows.size(), c.responses.size()) << c.max_errors;
    for (size_t i = 0; i < c.responses.size(); ++i) {
      EXPECT_EQ(packet.rows[i].response, c.responses[i]) << c.max_errors;
      EXPECT_EQ(packet.rows[i].message, "Record not found or changed by another user");
      EXPECT_EQ(packet.rows[i].record_number, i == 0 ? 2 : 4);
    }
    EXPECT_EQ(Count("select count(*) from t where v = 'new'"), c.committed) << c.max_errors;
  }
}

TEST_F(ResolverTest, OldValuesAreComparedExactly) {
  packets::DeltaPacket delta;
  delta.fields = packet_.fields;
  // A float that differs from the stored one in its last digit misses.
  packets::DeltaRow near = Modify(packet_, 2, {{1, Value{std::string("x")}}});
  near.old_values[2] = std::nextafter(0.3, 1.0);
  delta.rows.push_back(near);
  // A null old value is compared with "is null".
  delta.rows.push_back(Modify(packet_, 1, {{3, Value{int32_t{20}}}}));
  int32_t errors = 0;
  const packets::ErrorPacket result = Apply("T", delta, -1, errors);
  EXPECT_EQ(errors, 1);
  ASSERT_EQ(result.rows.size(), 1u);
  EXPECT_EQ(result.rows[0].record_number, 1);
  EXPECT_EQ(Count("select count(*) from t where id = 2 and n = 20"), 1);
  EXPECT_EQ(Count("select count(*) from t where v = 'x'"), 0);
}

TEST_F(ResolverTest, InsertsAndDeletesAndNothingFailing) {
  packets::DeltaPacket delta;
  delta.fields = packet_.fields;
  packets::DeltaRow insert;
  insert.kind = packets::UpdateKind::Insert;
  insert.new_values = {Value{int32_t{6}}, Value{std::string("f")}, std::nullopt, Value{}};
  delta.rows.push_back(insert);
  packets::DeltaRow remove;
  remove.kind = packets::UpdateKind::Delete;
  remove.old_values = packet_.rows[0].values;
  delta.rows.push_back(remove);
  int32_t errors = -1;
  const Variant result = service_.ApplyUpdates(
      "T", packets::ToVariant(delta, packets::Encoding::Binary), 0, errors);
  EXPECT_TRUE(result.is_null());
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from t where id = 6 and v = 'f' and f is null"), 1);
  EXPECT_EQ(Count("select count(*) from t where id = 1"), 0);
}

TEST_F(ResolverTest, AStatementThatHitsTwoRowsRollsTheCallBack) {
  Sql("insert into tab_mag (id_ditte, codice, descrizione) values ('X', 1, 'twin')");
  Sql("insert into tab_mag (id_ditte, codice, descrizione) values ('X', 1, 'twin')");
  service_.AddProvider("M", "select * from tab_mag where id_ditte = 'X'");
  const packets::DataPacket twins = Fetch("M", -1);
  ASSERT_EQ(twins.rows.size(), 2u);
  // An earlier good row of the same call, then the twin: nothing may stay.
  packets::DeltaPacket delta;
  delta.fields = packet_.fields;
  delta.rows.push_back(Modify(packet_, 0, {{1, Value{std::string("kept?")}}}));
  int32_t errors = 0;
  Apply("T", delta, -1, errors);
  ASSERT_EQ(errors, 0);

  packets::DeltaPacket twin_delta;
  twin_delta.fields = twins.fields;
  packets::DeltaRow remove;
  remove.kind = packets::UpdateKind::Delete;
  remove.old_values = twins.rows[0].values;
  twin_delta.rows.push_back(remove);
  twin_delta.rows.push_back(remove);
  const packets::ErrorPacket result = Apply("M", twin_delta, -1, errors);
  EXPECT_EQ(errors, 1);
  ASSERT_EQ(result.rows.size(), 1u);
  EXPECT_EQ(result.rows[0].message, "Update affected more than 1 record.");
  EXPECT_EQ(result.rows[0].response, 2);
  EXPECT_EQ(Count("select count(*) from tab_mag where id_ditte = 'X'"), 2);
}

TEST_F(ResolverTest, MasterWithANestedDetailAndANestedDelta) {
  Sql("create table lines (id integer, line integer, txt varchar(10))");
  Sql("insert into lines values (1, 1, 'one-a')");
  Sql("insert into lines values (1, 2, 'one-b')");
  Sql("insert into lines values (3, 1, 'three')");
  service_.AddMasterProvider("M", "select id, v from t order by id", "D");
  service_.AddDetailProvider("L", "select * from lines where id = :ID order by line", "d");
  const packets::DataPacket packet = Fetch("M", -1);
  ASSERT_EQ(packet.fields.size(), 3u);
  const packets::Field& nested = packet.fields[2];
  EXPECT_TRUE(nested.is_nested());
  EXPECT_EQ(nested.name, "L4713");  // the detail query's name: provider name and number
  ASSERT_EQ(packet.rows.size(), 5u);
  ASSERT_EQ(packet.rows[0].details.size(), 1u);
  EXPECT_EQ(packet.rows[0].details[0].size(), 2u);
  EXPECT_EQ(packet.rows[1].details[0].size(), 0u);
  EXPECT_EQ(packet.rows[2].details[0].size(), 1u);

  // A change of a detail row travels inside an unmodified master row.
  packets::DeltaPacket delta;
  delta.fields = packet.fields;
  packets::DeltaRow master;
  master.kind = packets::UpdateKind::Unmodified;
  master.old_values = packet.rows[0].values;
  master.new_values.resize(master.old_values.size());
  packets::DeltaRow line;
  line.kind = packets::UpdateKind::Modify;
  line.old_values = packet.rows[0].details[0][1].values;
  line.new_values = {std::nullopt, std::nullopt, Value{std::string("changed")}};
  master.details = {{line}};
  delta.rows.push_back(master);
  int32_t errors = -1;
  Apply("M", delta, 0, errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from lines where id = 1 and line = 2 and txt = 'changed'"), 1);
}

TEST_F(ProviderServiceTest, SetQueryReplacesTheSharedText) {
  for (int32_t index : {9, 10, 72, -1}) service_.SetQuery("select * from ditte", index);
  EXPECT_EQ(Message([&] { Fetch("Select", -1); }), "Missing query, table name or procedure name");
  service_.SetQuery("select id_ditte from ditte where id_ditte = :K", 0);
  EXPECT_EQ(Message([&] { Fetch("Select", -1); }), "No value for parameter 'K'");
  service_.SetQuery("select 1 as a from rdb$database", 47);
  service_.SetQuery("select 2 as b from rdb$database", 57);
  const packets::DataPacket packet = Fetch("SelectElencoCli", -1);
  ASSERT_EQ(packet.fields.size(), 1u);
  EXPECT_EQ(packet.fields[0].name, "B");
  service_.SetQuery("select id_tab_comuni, nome, provincia, codfis from tab_comuni", 39);
  EXPECT_EQ(Message([&] { Fetch("SelectComuni", -1); }), "qSelectComuni: Field 'CAP' not found");
}

TEST_F(ProviderServiceTest, RunTimeProviderNamesAndDestruction) {
  struct Case {
    std::string name;
    std::string error;
  };
  const Case cases[] = {
      {"", "''4711'' is not a valid component name"},  // the query's name comes first
      {"1abc", "''1abc4712'' is not a valid component name"},
      {"selectditte", "A component named selectditte already exists"},
      {"SPLOGIN", "A component named SPLOGIN already exists"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Message([&] { service_.AddProvider(c.name, "select * from ditte"); }), c.error);
  }
  service_.AddProvider("P", "select * from ditte");
  EXPECT_NE(Message([&] { service_.AddProvider("P", "select * from ditte"); }), "(no error)");
  service_.DestroyProvider("P");
  EXPECT_EQ(Message([&] { Fetch("P", -1); }), "Missing DataSet property");
  EXPECT_NE(Message([&] { service_.AddProvider("P", "select * from ditte"); }), "(no error)");
  service_.DestroyMasterProvider("P", "nothing");
  EXPECT_EQ(Message([&] { service_.AddProvider("P", "select * from ditte"); }), "(no error)");

  // A catalogue provider lets go of the shared query without destroying it.
  service_.DestroyProvider("SelectDitte");
  EXPECT_EQ(Message([&] { Fetch("SelectDitte", -1); }), "Missing DataSet property");
  EXPECT_NE(catalogue_.Find("qSelectDitte"), nullptr);
}

TEST_F(ProviderServiceTest, AddParameterMatchesProvidersExactly) {
  service_.AddProvider("P", "select codice from articoli where codice = :CODICE");
  const std::string first = std::get<std::string>(Fetch("SelectArticoli", -1).rows[0].values[0]);
  service_.AddParameter("Unassigned", Variant::I4(1), "P");
  service_.AddParameter("codice", Variant::BStr(CodePage::System().Decode(first)), "p");  // no match
  EXPECT_EQ(Message([&] { Fetch("P", -1); }), "No value for parameter 'CODICE'");
  service_.AddParameter("codice", Variant::BStr(CodePage::System().Decode(first)), "P");
  EXPECT_EQ(Fetch("P", -1).rows.size(), 1u);
  EXPECT_EQ(Message([&] { service_.AddParameter("MISSING", Variant::I4(1), "P"); }),
            "Parameter 'MISSING' not found");
}

}  // namespace
}  // namespace orvala::providers

namespace orvala::providers {
namespace {

// Every path that binds a scaled amount: parameters that a fetch or an
// execution sends in a packet, a BLOB row request that finds its row by an
// amount, and a detail that takes its parameter from a master's amount.
TEST_F(ProviderServiceTest, ScaledAmountsBindWithTheirDecimalPlaces) {
  Sql("create table TN (ID integer not null, B numeric(15,2), M blob sub_type text)");
  Sql("insert into TN values (1, -123.45, 'memo one')");
  Sql("insert into TN values (2, 200.50, 'memo two')");
  auto amount = [](const char* name, int64_t unscaled) {
    packets::ParamPacket params;
    params.params.push_back({name, unscaled, FieldType::BigInt, packets::kParamInput, 2});
    return packets::ToVariant(params, packets::Encoding::Binary);
  };

  service_.AddProvider("P", "select ID from TN where B = :B");
  const packets::DataPacket found = Fetch("P", -1, 0, amount("B", -12345));
  ASSERT_EQ(found.rows.size(), 1u);
  EXPECT_EQ(found.rows[0].values[0], Value{int32_t{1}});

  service_.AddProvider("U", "update TN set B = :B where ID = 2");
  Variant params = amount("B", -999999999999999);
  service_.Execute("U", "", params);
  EXPECT_EQ(Count("select count(*) from TN where ID = 2 and B = -9999999999999.99"), 1);

  service_.AddProvider("R", "select ID, B, M from TN");
  const packets::DataPacket all = Fetch("R", -1);
  packets::DeltaPacket row;
  row.fields = all.fields;
  row.rows.push_back(Modify(all, 0, {}));
  const packets::DataPacket blobs = packets::DataPacketFromVariant(
      service_.RowRequest("R", packets::ToVariant(row, packets::Encoding::Binary), 2));
  ASSERT_EQ(blobs.rows.size(), 1u);
  EXPECT_EQ(blobs.rows[0].values[2], Value{std::string("memo one")});

  service_.AddMasterProvider("M", "select B from TN where ID = 1", "MS");
  service_.AddDetailProvider("D", "select ID from TN where B = :B", "MS");
  const packets::DataPacket nested = Fetch("M", -1);
  ASSERT_EQ(nested.rows.size(), 1u);
  ASSERT_EQ(nested.rows[0].details.size(), 1u);
  ASSERT_EQ(nested.rows[0].details[0].size(), 1u);
  EXPECT_EQ(nested.rows[0].details[0][0].values[0], Value{int32_t{1}});
}

}  // namespace
}  // namespace orvala::providers

namespace orvala::providers {
namespace {

// A delta written in another single-byte code page reaches the database
// as the same characters, in SET and in WHERE; a character that the
// database's code page lacks refuses the whole delta instead of storing
// another one.
TEST_F(ProviderServiceTest, ADeltaInAnotherCodePageIsConverted) {
  ASSERT_EQ(CodePage::System().name(), "WINDOWS-1252");
  Sql("create table TE (ID integer not null, S varchar(10))");
  Sql("insert into TE values (1, '\x80uro')");  // the euro sign in WINDOWS-1252
  Sql("insert into TE values (2, 'x')");
  auto delta = [](const char* code_page, int32_t id, const std::string& old_text,
                  const std::string& new_text) {
    packets::DeltaPacket d;
    d.code_page = code_page;
    packets::Field id_field;
    id_field.name = "ID";
    id_field.type = FieldType::Integer;
    packets::Field s_field;
    s_field.name = "S";
    s_field.type = FieldType::String;
    s_field.size = 10;
    d.fields = {id_field, s_field};
    packets::DeltaRow row;
    row.kind = packets::UpdateKind::Modify;
    row.old_values = {id, old_text};
    row.new_values = {std::nullopt, Value{new_text}};
    d.rows.push_back(row);
    return d;
  };
  service_.AddProvider("E", "select * from TE");
  int32_t errors = -1;
  // ISO-8859-15 has the euro sign at A4 and the ligature oe at BD.
  EXPECT_TRUE(Apply("E", delta("ISO-8859-15", 1, "\xA4uro", "\xBD\xA4"), 0, errors).rows.empty());
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from TE where ID = 1 and S = '\x9C\x80'"), 1);
  // WINDOWS-1250 has the Polish l with stroke at B3; WINDOWS-1252 lacks it.
  EXPECT_EQ(Message([&] { Apply("E", delta("WINDOWS-1250", 2, "x", "\xB3"), 0, errors); }),
            "The delta holds a character that code page WINDOWS-1252 of the database cannot hold");
  EXPECT_EQ(Count("select count(*) from TE where ID = 2 and S = 'x'"), 1);
}

}  // namespace
}  // namespace orvala::providers
