// Every catalogue and report provider against the demo database, the
// sharing of the catalogue's queries between remote objects, and the
// supplier link hook.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "catalogue/catalogue_data.h"
#include "common/error.h"
#include "driver/administrator.h"
#include "packets/packet_variant.h"
#include "providers/provider_service.h"
#include "tests/database_fixture.h"

namespace orvala::providers {
namespace {

class CatalogueTest : public ::testing::Test {
 protected:
  CatalogueTest()
      : database_(orvala::testing::FreshDatabase(dir_).string()),
        catalogue_(catalogue::Module::Catalogue),
        reports_(catalogue::Module::Report),
        first_(Context()),
        second_(Context()) {
    connection_.SetParam("Database", database_);
    driver::UseAdministrator(connection_);
    catalogue_.Bind(&connection_);
    reports_.Bind(&connection_);
  }

  ServiceContext Context() {
    return ServiceContext{&catalogue_, &reports_, &connection_, [](int32_t) { return 1; },
                          [] { return std::vector<std::string>{}; }};
  }

  packets::DataPacket Fetch(ProviderService& service, const std::string& provider, int32_t count,
                            Variant params = Variant()) {
    int32_t recs = 0;
    return packets::DataPacketFromVariant(
        service.GetRecords(provider, count, recs, 0, "", params));
  }

  int64_t Count(const std::string& sql) {
    driver::Query q("count");
    q.SetConnection(&connection_);
    q.SetSql({sql});
    q.Open();
    q.Next();
    return std::get<int64_t>(q.row()[0]);
  }

  orvala::testing::TempDir dir_;
  std::string database_;
  driver::Connection connection_;
  catalogue::QueryModule catalogue_;
  catalogue::QueryModule reports_;
  ProviderService first_;
  ProviderService second_;
};

// Demo values for a report's parameters: the first company and the open
// year, everything else "all".
Variant ReportParams(const catalogue::QueryDef& def) {
  packets::ParamPacket packet;
  for (const catalogue::ParamDef& p : def.params) {
    Value v;
    if (p.kind == catalogue::FieldKind::String) {
      v = std::strncmp(p.name, "ID_DITT", 7) == 0 ? std::string("00001") : std::string("");
    } else {
      const bool year = std::strcmp(p.name, "ANNO") == 0 || std::strcmp(p.name, "ID_ANNO") == 0;
      v = int32_t{year ? 2024 : std::strcmp(p.name, "IN_TIPO") == 0 ? 1 : 0};
    }
    packet.params.push_back({p.name, v, catalogue::ToFieldType(p.kind), packets::kParamInput});
  }
  return packets::ToVariant(packet, packets::Encoding::Binary);
}

TEST_F(CatalogueTest, EveryProviderServesTheDemoDatabase) {
  int providers = 0;
  for (const catalogue::QueryDef& def : catalogue::Queries()) {
    if (!def.provider_name || !def.sql) continue;  // statements; queries awaiting their SQL
    ++providers;
    const bool report = def.module == catalogue::Module::Report;
    packets::DataPacket packet;
    try {
      packet = Fetch(first_, def.provider_name, -1, report ? ReportParams(def) : Variant());
    } catch (const Error& e) {
      ADD_FAILURE() << def.provider_name << ": " << e.message();
      continue;
    }
    if (!report) {
      EXPECT_FALSE(packet.rows.empty()) << def.provider_name;
    }
    if (def.fields.empty()) {
      EXPECT_FALSE(packet.fields.empty()) << def.provider_name;
      continue;
    }
    ASSERT_EQ(packet.fields.size(), def.fields.size()) << def.provider_name;
    for (size_t i = 0; i < def.fields.size(); ++i) {
      const catalogue::FieldDef& want = def.fields[i];
      const packets::Field& got = packet.fields[i];
      EXPECT_EQ(got.name, want.name) << def.provider_name;
      EXPECT_EQ(got.type, catalogue::ToFieldType(want.kind)) << def.provider_name << "." << want.name;
      if (want.kind == catalogue::FieldKind::String) {
        EXPECT_EQ(got.size, want.size) << def.provider_name << "." << want.name;
      }
      EXPECT_EQ(got.required, want.required) << def.provider_name << "." << want.name;
    }
    for (const packets::Row& row : packet.rows) {
      ASSERT_EQ(row.values.size(), def.fields.size()) << def.provider_name;
    }
  }
  EXPECT_EQ(providers, 128 + 10);
}

TEST_F(CatalogueTest, JoinsDropRowsWithoutAPartner) {
  EXPECT_EQ(Fetch(first_, "SelectClientiDitte", -1).rows.size(),
            Fetch(first_, "SelectOrderedClientiDitte", -1).rows.size() + 1);
  EXPECT_EQ(Fetch(first_, "SelectFornitoriDitte", -1).rows.size(),
            Fetch(first_, "SelectOrderedFornitoriDitte", -1).rows.size() + 1);
  const packets::DataPacket ordered = Fetch(first_, "SelectOrderedClientiDitte", -1);
  for (const packets::Field& f : ordered.fields) {
    EXPECT_NE(f.name, "PARTITAIVA");
    EXPECT_NE(f.name, "RAGIONESOCIALE");
  }
}

TEST_F(CatalogueTest, OrderingsThatClientsRelyOn) {
  // Causal 9 before causal 10: a numeric order, not a textual one.
  const packets::DataPacket causali = Fetch(first_, "SelectCausali", -1);
  int position_9 = -1, position_10 = -1;
  for (size_t i = 0; i < causali.rows.size(); ++i) {
    for (size_t f = 0; f < causali.fields.size(); ++f) {
      if (causali.fields[f].name != "CODICE") continue;
      const auto* code = std::get_if<int32_t>(&causali.rows[i].values[f]);
      if (code && *code == 9 && position_9 < 0) position_9 = static_cast<int>(i);
      if (code && *code == 10 && position_10 < 0) position_10 = static_cast<int>(i);
    }
  }
  ASSERT_GE(position_9, 0);
  ASSERT_GE(position_10, 0);
  EXPECT_LT(position_9, position_10);

  // Journal lines: registrations ascending, lines of one registration descending.
  const packets::DataPacket lines = Fetch(first_, "SelectMovimentiContabili", -1);
  size_t numreg = 0, progreg = 0;
  for (size_t f = 0; f < lines.fields.size(); ++f) {
    if (lines.fields[f].name == "MC_NUMREG") numreg = f;
    if (lines.fields[f].name == "MC_PROGREG") progreg = f;
  }
  auto as_int = [](const Value& v) -> int64_t {
    if (const auto* i = std::get_if<int32_t>(&v)) return *i;
    if (const auto* s = std::get_if<int16_t>(&v)) return *s;
    return std::get<int64_t>(v);
  };
  for (size_t i = 1; i < lines.rows.size(); ++i) {
    const auto& a = lines.rows[i - 1].values;
    const auto& b = lines.rows[i].values;
    ASSERT_LE(as_int(a[numreg]), as_int(b[numreg]));
    if (as_int(a[numreg]) == as_int(b[numreg])) {
      EXPECT_GT(as_int(a[progreg]), as_int(b[progreg]));
    }
  }
}

TEST_F(CatalogueTest, TwoObjectsShareAReplacedQuery) {
  // The first object fetches in slices; the second replaces the SQL; the
  // first's next slice comes from the start of the new statement.
  const packets::DataPacket slice = Fetch(first_, "SelectArticoli", 5);
  ASSERT_EQ(slice.rows.size(), 5u);
  second_.SetQuery("select codice, descrizione from articoli order by codice desc", 13);
  const packets::DataPacket next = Fetch(first_, "SelectArticoli", 5);
  ASSERT_EQ(next.fields.size(), 2u);
  ASSERT_EQ(next.rows.size(), 5u);
  EXPECT_EQ(Count("select count(*) from articoli where codice > '" +
                  std::get<std::string>(next.rows[0].values[0]) + "'"),
            0);
  EXPECT_GT(std::get<std::string>(next.rows[0].values[0]),
            std::get<std::string>(next.rows[1].values[0]));
  // The query is shared: the second object continues where the first stopped.
  const packets::DataPacket rest = Fetch(second_, "SelectArticoli", -1);
  EXPECT_EQ(rest.rows.size(), static_cast<size_t>(Count("select count(*) from articoli") - 5));
}

TEST_F(CatalogueTest, ReportProvidersCarryTheirListedFields) {
  const catalogue::QueryDef* header = nullptr;
  for (const catalogue::QueryDef& def : catalogue::Queries()) {
    if (def.provider_name && std::strcmp(def.provider_name, "Stampa_Ditta_Header") == 0) header = &def;
  }
  ASSERT_NE(header, nullptr);
  const packets::DataPacket packet = Fetch(first_, "Stampa_Ditta_Header", -1, ReportParams(*header));
  ASSERT_EQ(packet.rows.size(), 1u);
  EXPECT_EQ(packet.fields[3].name, "COMUNE");
  const Variant params = first_.GetParams("Stampa_Situazione");
  const packets::ParamPacket described = packets::ParamPacketFromVariant(params);
  ASSERT_EQ(described.params.size(), 6u);
  EXPECT_EQ(described.params[4].name, "FORNITORI");
  EXPECT_EQ(described.params[5].name, "CLIENTI");
}

class SupplierLinkTest : public CatalogueTest {
 protected:
  void SetUp() override {
    packet_ = Fetch(first_, "SelectFornitoriDitte", -1);
    ASSERT_FALSE(packet_.rows.empty());
    for (size_t i = 0; i < packet_.fields.size(); ++i) column_[packet_.fields[i].name] = i;
  }

  packets::DeltaPacket Delta(const packets::DataPacket& from, packets::DeltaRow row) {
    packets::DeltaPacket delta;
    delta.fields = from.fields;
    delta.rows.push_back(std::move(row));
    return delta;
  }

  packets::DeltaRow ModifyNote(const packets::DataPacket& from, size_t row, const std::string& note) {
    packets::DeltaRow d;
    d.kind = packets::UpdateKind::Modify;
    d.old_values = from.rows[row].values;
    d.new_values.resize(d.old_values.size());
    size_t note_column = 0;
    for (size_t i = 0; i < from.fields.size(); ++i) {
      if (from.fields[i].name == "NOTE1") note_column = i;
    }
    d.new_values[note_column] = Value{note};
    return d;
  }

  packets::ErrorPacket Apply(const packets::DeltaPacket& delta, int32_t& errors) {
    return packets::ErrorPacketFromVariant(first_.ApplyUpdates(
        "SelectFornitoriDitte", packets::ToVariant(delta, packets::Encoding::Binary), -1, errors));
  }

  std::string Key(size_t row) {
    const auto& values = packet_.rows[row].values;
    return "id_fornitori = " + std::to_string(std::get<int32_t>(values[column_["ID_FORNITORI"]])) +
           " and id_ditte = '" + std::get<std::string>(values[column_["ID_DITTE"]]) + "'";
  }

  packets::DataPacket packet_;
  std::map<std::string, size_t> column_;
};

TEST_F(SupplierLinkTest, ModifyInsertAndDeleteGoThroughTheStatements) {
  int32_t errors = -1;
  // Only NOTE1 changes; a stale old value elsewhere does not matter, since
  // the statement finds the row by its key.
  packets::DeltaRow modify = ModifyNote(packet_, 0, "noted");
  modify.old_values[column_["NOTE2"]] = std::string("stale");
  Apply(Delta(packet_, modify), errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where note1 = 'noted' and " + Key(0)), 1);

  packets::DeltaRow insert;
  insert.kind = packets::UpdateKind::Insert;
  insert.new_values.resize(packet_.fields.size());
  insert.new_values[column_["ID_FORNITORI"]] = Value{int32_t{777}};
  insert.new_values[column_["ID_DITTE"]] = Value{std::string("00002")};
  insert.new_values[column_["MASTRO"]] = Value{int32_t{40}};
  insert.new_values[column_["CONTO"]] = Value{int32_t{1}};
  insert.new_values[column_["SOTTOCONTO"]] = Value{int32_t{77}};
  Apply(Delta(packet_, insert), errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where id_fornitori = 777 and note1 is null"), 1);

  packets::DeltaRow remove;
  remove.kind = packets::UpdateKind::Delete;
  remove.old_values = packet_.rows[0].values;
  Apply(Delta(packet_, remove), errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where " + Key(0)), 0);
}

TEST_F(SupplierLinkTest, ARowThatIsGoneFailsInsteadOfSucceedingSilently) {
  connection_.ExecuteImmediate("delete from fornitori_ditte where " + Key(0));
  int32_t errors = -1;
  const packets::ErrorPacket result = Apply(Delta(packet_, ModifyNote(packet_, 0, "lost")), errors);
  EXPECT_EQ(errors, 1);
  ASSERT_EQ(result.rows.size(), 1u);
  EXPECT_EQ(result.rows[0].message, "Record not found or changed by another user");
}

TEST_F(SupplierLinkTest, ReplacedSqlWithAJoinOrWithFewerColumns) {
  // RAGIONESOCIALE joined in is ignored by the statement.
  second_.SetQuery("select fd.*, f.ragionesociale from fornitori_ditte fd, fornitori f "
                   "where f.id_fornitori = fd.id_fornitori order by fd.id_fornitori", 36);
  const packets::DataPacket joined = Fetch(first_, "SelectFornitoriDitte", -1);
  int32_t errors = -1;
  Apply(Delta(joined, ModifyNote(joined, 0, "joined")), errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where note1 = 'joined'"), 1);

  // A SELECT that leaves statement columns out: the hook declines the row
  // rather than reuse another row's values, and the resolver's statement,
  // which sets only the delta's columns, applies it.
  second_.SetQuery("select id_fornitori, id_ditte, note1 from fornitori_ditte order by 1, 2", 36);
  const packets::DataPacket narrow = Fetch(first_, "SelectFornitoriDitte", -1);
  const int64_t others = Count("select count(*) from fornitori_ditte where mastro is not null");
  Apply(Delta(narrow, ModifyNote(narrow, 0, "narrow")), errors);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where note1 = 'narrow'"), 1);
  EXPECT_EQ(Count("select count(*) from fornitori_ditte where mastro is not null"), others);
}

}  // namespace
}  // namespace orvala::providers
