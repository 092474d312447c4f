#include "catalogue/catalogue_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvala::catalogue {
namespace {

constexpr size_t kCatalogueSelects = 137;
constexpr size_t kSupplierStatements = 3;
constexpr size_t kReports = 10;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

const QueryDef* Find(std::string_view query_name) {
  for (const QueryDef& query : Queries()) {
    if (query_name == query.query_name) return &query;
  }
  return nullptr;
}

const QueryDef& Get(std::string_view query_name) {
  const QueryDef* query = Find(query_name);
  if (query == nullptr) throw std::runtime_error("no query " + std::string(query_name));
  return *query;
}

// The placeholders of a text in order: a colon followed by a name.
std::vector<std::string> Placeholders(std::string_view sql) {
  auto is_start = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; };
  auto is_part = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  std::vector<std::string> names;
  for (size_t i = 0; i < sql.size(); ++i) {
    if (sql[i] != ':' || i + 1 >= sql.size() || !is_start(sql[i + 1])) continue;
    size_t end = i + 1;
    while (end < sql.size() && is_part(sql[end])) ++end;
    names.emplace_back(sql.substr(i + 1, end - i - 1));
    i = end - 1;
  }
  return names;
}

std::vector<std::string> FieldNames(const QueryDef& query) {
  std::vector<std::string> names;
  for (const FieldDef& field : query.fields) names.emplace_back(field.name);
  return names;
}

std::vector<std::string> ParamNames(const QueryDef& query) {
  std::vector<std::string> names;
  for (const ParamDef& param : query.params) names.emplace_back(param.name);
  return names;
}

bool IsGeneralPurpose(std::string_view query_name) {
  static const std::set<std::string_view> kNames = {"qSelect",   "qSelect_1", "qSelect_2",
                                                    "qSelect_3", "qSelect_4", "qSelect_5",
                                                    "qSelect_6", "qSelect_7", "qSelect_8"};
  return kNames.count(query_name) != 0;
}

// The providers not named by dropping the query's leading "q".
const std::map<std::string_view, std::string_view>& IrregularProviders() {
  static const std::map<std::string_view, std::string_view> kProviders = {
      {"qSelectPianoClienti", "SelectPIanoClienti"},
      {"qSelectIva_Pro", "Select_Iva_Pro"},
      {"qSelectTab_Liq", "Select_Tab_Liq"},
      {"qSelectIva_Ter", "Select_Iva_TER"},
      {"qSelectTab_Contratti", "SelectTabContratti"},
      {"qSelectStampa_Cliente_Contabile", "Stampa_Cliente_Contabile"},
  };
  return kProviders;
}

// ---------------------------------------------------------------------------
// Shape of the table

TEST(CatalogueQueries, ListSelectsThenSupplierStatementsThenReports) {
  const auto queries = Queries();
  ASSERT_EQ(queries.size(), kCatalogueSelects + kSupplierStatements + kReports);
  for (size_t i = 0; i < queries.size(); ++i) {
    const QueryDef& query = queries[i];
    SCOPED_TRACE(query.query_name);
    if (i < kCatalogueSelects) {
      EXPECT_EQ(query.module, Module::Catalogue);
      EXPECT_NE(query.provider_name, nullptr);
      EXPECT_TRUE(query.params.empty());
    } else if (i < kCatalogueSelects + kSupplierStatements) {
      EXPECT_EQ(query.module, Module::Catalogue);
      EXPECT_EQ(query.provider_name, nullptr);
      EXPECT_NE(query.sql, nullptr);
      EXPECT_TRUE(query.fields.empty());
    } else {
      EXPECT_EQ(query.module, Module::Report);
      EXPECT_NE(query.provider_name, nullptr);
      EXPECT_FALSE(query.fields.empty());
      EXPECT_FALSE(query.params.empty());
    }
  }
  EXPECT_STREQ(queries[kCatalogueSelects].query_name, "qUpdateFornitoriDitte");
  EXPECT_STREQ(queries[kCatalogueSelects + 1].query_name, "qInsertFornitoriDitte");
  EXPECT_STREQ(queries[kCatalogueSelects + 2].query_name, "qDeleteFornitoriDitte");
}

TEST(CatalogueQueries, QueryNamesAreDistinct) {
  std::set<std::string> names;
  for (const QueryDef& query : Queries()) {
    EXPECT_TRUE(names.insert(query.query_name).second) << query.query_name;
  }
}

// Providers are looked up without regard to case, so two names that differ
// only in case would hide one another.
TEST(CatalogueQueries, ProviderNamesAreDistinctWithoutRegardToCase) {
  std::set<std::string> names;
  for (const QueryDef& query : Queries()) {
    if (query.provider_name == nullptr) continue;
    EXPECT_TRUE(names.insert(Lower(query.provider_name)).second) << query.provider_name;
  }
  EXPECT_EQ(names.size(), kCatalogueSelects + kReports);
}

TEST(CatalogueQueries, ProvidersDropTheLeadingQExceptTheIrregularOnes) {
  size_t irregular_seen = 0;
  for (const QueryDef& query : Queries()) {
    if (query.provider_name == nullptr) continue;
    SCOPED_TRACE(query.query_name);
    const std::string_view name = query.query_name;
    ASSERT_EQ(name.front(), 'q');
    const auto irregular = IrregularProviders().find(name);
    if (irregular != IrregularProviders().end()) {
      EXPECT_EQ(query.provider_name, irregular->second);
      ++irregular_seen;
    } else {
      EXPECT_EQ(query.provider_name, name.substr(1));
    }
  }
  EXPECT_EQ(irregular_seen, IrregularProviders().size());
}

TEST(CatalogueQueries, OnlyTheGeneralPurposeQueriesStartWithoutSql) {
  size_t without_sql = 0;
  for (const QueryDef& query : Queries()) {
    SCOPED_TRACE(query.query_name);
    if (query.sql == nullptr) {
      ++without_sql;
      EXPECT_TRUE(IsGeneralPurpose(query.query_name));
      EXPECT_TRUE(query.fields.empty());
    } else {
      EXPECT_FALSE(IsGeneralPurpose(query.query_name));
      EXPECT_FALSE(std::string_view(query.sql).empty());
    }
  }
  EXPECT_EQ(without_sql, 9u);
}

TEST(CatalogueQueries, StatementsBeginWithTheirVerb) {
  for (const QueryDef& query : Queries()) {
    if (query.sql == nullptr) continue;
    SCOPED_TRACE(query.query_name);
    const std::string sql = Lower(query.sql);
    if (query.provider_name != nullptr) {
      EXPECT_EQ(sql.rfind("select ", 0), 0u);
    } else {
      EXPECT_TRUE(sql.rfind("insert ", 0) == 0 || sql.rfind("update ", 0) == 0 ||
                  sql.rfind("delete ", 0) == 0);
    }
  }
}

// Parameters are bound by position, so the list must follow the placeholders
// of the text one for one.
TEST(CatalogueQueries, ParametersFollowThePlaceholdersOfTheSql) {
  for (const QueryDef& query : Queries()) {
    if (query.sql == nullptr) continue;
    SCOPED_TRACE(query.query_name);
    EXPECT_EQ(ParamNames(query), Placeholders(query.sql));
  }
}

TEST(CatalogueQueries, FieldNamesAreDistinctWithinAQuery) {
  for (const QueryDef& query : Queries()) {
    SCOPED_TRACE(query.query_name);
    std::set<std::string> names;
    for (const FieldDef& field : query.fields) {
      EXPECT_TRUE(names.insert(Lower(field.name)).second) << field.name;
    }
  }
}

TEST(CatalogueQueries, OnlyStringFieldsHaveASize) {
  for (const QueryDef& query : Queries()) {
    for (const FieldDef& field : query.fields) {
      SCOPED_TRACE(std::string(query.query_name) + "." + field.name);
      if (field.kind == FieldKind::String) {
        EXPECT_GT(field.size, 0);
      } else {
        EXPECT_EQ(field.size, 0);
      }
    }
  }
}

TEST(CatalogueQueries, ParameterNamesAreDistinctWithinAQuery) {
  for (const QueryDef& query : Queries()) {
    SCOPED_TRACE(query.query_name);
    std::set<std::string> names;
    for (const ParamDef& param : query.params) {
      EXPECT_TRUE(names.insert(Lower(param.name)).second) << param.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Field lists

struct FieldCountCase {
  const char* query_name;
  size_t fields;
};

TEST(CatalogueFields, CountsOfTheLongerLists) {
  const FieldCountCase cases[] = {
      {"qSelectBancheDitte", 98},
      {"qSelectOrderedClientiDitte", 43},
      {"qSelectOrderedFornitoriDitte", 15},
      {"qSelectIVA", 20},
      {"qSelectEsenzioni", 20},
      {"qSelectTab_Aut", 56},
      {"qSelectHeader", 23},
      {"qSelectProgressivi", 11},
      {"qSelectPianoProgressivi", 11},
      {"qSelectListaPiaconPro", 12},
      {"qSelectCausaliDettaglio", 14},
      {"qSelectBilancioCEE", 10},
      {"qStampa_Cliente", 15},
      {"qStampa_Fornitore", 11},
      {"qSelectStampa_Cliente_Contabile", 8},
      {"qStampa_Ditta_Header", 4},
      {"qStampa_Lista_Pdc", 13},
      {"qStampa_Lista_Pdc_XCC", 13},
      {"qStampa_Lista_Pdc_TOT", 16},
      {"qStampa_Lista_Pdc_TOT_XCC", 16},
      {"qStampa_Situazione", 16},
      {"qStampa_Situazione_XCC", 16},
  };
  for (const FieldCountCase& c : cases) {
    EXPECT_EQ(Get(c.query_name).fields.size(), c.fields) << c.query_name;
  }
}

TEST(CatalogueFields, QueriesWithoutListedFields) {
  for (const char* name :
       {"qSelectDitte", "qSelectClienti", "qSelectClientiDitte", "qSelectFornitoriDitte",
        "qSelectTab_Iva", "qSelectPiacon", "qSelectCausali", "qSelectMovimentiContabili",
        "qSelectArticoli", "qSelectContratti", "qSelectElencoCli", "qSelectIntermediario"}) {
    EXPECT_TRUE(Get(name).fields.empty()) << name;
  }
}

void ExpectFields(const char* query_name, const std::vector<FieldDef>& expected) {
  SCOPED_TRACE(query_name);
  const auto fields = Get(query_name).fields;
  ASSERT_EQ(fields.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_STREQ(fields[i].name, expected[i].name);
    EXPECT_EQ(fields[i].kind, expected[i].kind);
    EXPECT_EQ(fields[i].size, expected[i].size);
    EXPECT_EQ(fields[i].required, expected[i].required);
  }
}

TEST(CatalogueFields, FiscalYears) {
  ExpectFields("qSelectEsercizi", {
                                      {"ID_ANNO", FieldKind::Integer, 0, true},
                                      {"DATAINIZIO", FieldKind::Timestamp, 0, false},
                                      {"DATAFINE", FieldKind::Timestamp, 0, false},
                                      {"APERTO", FieldKind::Integer, 0, false},
                                      {"DESCRIZIONE", FieldKind::String, 50, false},
                                      {"TIPO_ESERCIZIO", FieldKind::Integer, 0, true},
                                  });
}

TEST(CatalogueFields, Municipalities) {
  ExpectFields("qSelectComuni", {
                                    {"ID_TAB_COMUNI", FieldKind::Integer, 0, false},
                                    {"NOME", FieldKind::String, 80, true},
                                    {"PROVINCIA", FieldKind::String, 2, false},
                                    {"CAP", FieldKind::String, 5, false},
                                    {"CODFIS", FieldKind::String, 4, false},
                                });
}

TEST(CatalogueFields, MixedCaseNamesKeepTheirCase) {
  const std::vector<FieldDef> codice_descrizione = {
      {"Codice", FieldKind::Integer, 0, false},
      {"Descrizione", FieldKind::String, 30, false},
  };
  ExpectFields("qSelectStatusCli", codice_descrizione);
  ExpectFields("qSelectStatusFor", codice_descrizione);
  ExpectFields("qSelectTabSped", codice_descrizione);
  ExpectFields("qSelectTab_Contratti", {
                                           {"ID_DITTE", FieldKind::String, 5, false},
                                           {"Codice", FieldKind::Integer, 0, false},
                                           {"Descrizione", FieldKind::String, 30, false},
                                           {"Importo", FieldKind::Float, 0, false},
                                       });
}

TEST(CatalogueFields, StringWithoutStatedSizeIsTwentyCharacters) {
  ExpectFields("qSelectTab_Zone", {
                                      {"ID_TAB_ZONE", FieldKind::Integer, 0, false},
                                      {"DESCRIZIONE", FieldKind::String, 20, true},
                                  });
}

// Numbered runs expand in number order: 10 comes after 9, not after 1.
TEST(CatalogueFields, NumberedRunsComeInNumberOrder) {
  const std::vector<std::string> fields = FieldNames(Get("qSelectBancheDitte"));
  const auto find_field = [&](const std::string& first) {
    return std::find(fields.begin(), fields.end(), first);
  };
  struct Run {
    const char* stem;
    int count;
  };
  for (const Run run : {Run{"GG_VAL", 10}, Run{"ID_TO", 10}, Run{"TASSO_CREDITO", 10},
                        Run{"DATA_TC", 10}, Run{"DEBITO", 6}, Run{"SUPERO", 6},
                        Run{"DATA_DEBITO", 6}, Run{"IMPORTO_SPESE", 8}, Run{"ID_TOS", 8}}) {
    SCOPED_TRACE(run.stem);
    auto it = find_field(std::string(run.stem) + "1");
    ASSERT_NE(it, fields.end());
    for (int n = 1; n <= run.count; ++n, ++it) {
      ASSERT_NE(it, fields.end());
      EXPECT_EQ(*it, run.stem + std::to_string(n));
    }
  }
  EXPECT_EQ(fields.front(), "ID_DITTE");
  EXPECT_EQ(fields.back(), "SPESE_CHIUSURA_CONTO");
}

// The joined customer dataset keeps only the per-company columns.
TEST(CatalogueFields, JoinedCustomersCarryNoRegisterColumns) {
  const std::vector<std::string> fields = FieldNames(Get("qSelectOrderedClientiDitte"));
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "PARTITAIVA"), 0);
  EXPECT_EQ(std::count(fields.begin(), fields.end(), "RAGIONESOCIALE"), 0);
  EXPECT_EQ(fields.front(), "ID_CLIENTI");
  EXPECT_EQ(fields.back(), "DICHIARAZIONE_INTENTI");
}

TEST(CatalogueFields, SupplierRegisterIsTheCustomerRegisterCut) {
  const auto customer = Get("qStampa_Cliente").fields;
  const auto supplier = Get("qStampa_Fornitore").fields;
  ASSERT_EQ(supplier.size(), 11u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_STREQ(supplier[i].name, customer[i].name);
    EXPECT_EQ(supplier[i].size, customer[i].size);
  }
  EXPECT_STREQ(supplier[10].name, "STATUS");
  EXPECT_EQ(supplier[10].size, 30);
}

TEST(CatalogueFields, NoReportFieldIsRequired) {
  for (const QueryDef& query : Queries()) {
    if (query.module != Module::Report) continue;
    for (const FieldDef& field : query.fields) {
      EXPECT_FALSE(field.required) << query.query_name << "." << field.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Supplier-per-company statements

// The update hook copies delta fields of the supplier-per-company dataset
// into these parameters by name, so each parameter must have the kind of the
// column it writes.
TEST(SupplierStatements, ParametersHaveTheKindsOfTheirColumns) {
  std::map<std::string, FieldKind> column_kinds;
  for (const FieldDef& field : Get("qSelectOrderedFornitoriDitte").fields) {
    column_kinds[field.name] = field.kind;
  }
  for (const char* name :
       {"qUpdateFornitoriDitte", "qInsertFornitoriDitte", "qDeleteFornitoriDitte"}) {
    SCOPED_TRACE(name);
    for (const ParamDef& param : Get(name).params) {
      ASSERT_EQ(column_kinds.count(param.name), 1u) << param.name;
      EXPECT_EQ(param.kind, column_kinds[param.name]) << param.name;
    }
  }
}

TEST(SupplierStatements, KeysSelectTheRowAndAreNeverSet) {
  const std::vector<std::string> keys = {"ID_FORNITORI", "ID_DITTE"};
  EXPECT_EQ(ParamNames(Get("qDeleteFornitoriDitte")), keys);

  const std::vector<std::string> update = ParamNames(Get("qUpdateFornitoriDitte"));
  ASSERT_EQ(update.size(), 15u);
  EXPECT_EQ(std::vector<std::string>(update.end() - 2, update.end()), keys);

  const std::vector<std::string> insert = ParamNames(Get("qInsertFornitoriDitte"));
  ASSERT_EQ(insert.size(), 15u);
  EXPECT_EQ(std::vector<std::string>(insert.begin(), insert.begin() + 2), keys);
  // Both write the same thirteen non-key columns.
  EXPECT_EQ(std::set<std::string>(insert.begin() + 2, insert.end()),
            std::set<std::string>(update.begin(), update.end() - 2));
}

// ---------------------------------------------------------------------------
// Reports

struct ReportCase {
  const char* query_name;
  const char* routine;
  size_t params;
};

std::string RoutineOf(std::string_view sql) {
  const std::string lower = Lower(sql);
  size_t at = lower.find(" from ");
  if (at == std::string::npos) return {};
  at += 6;
  size_t end = at;
  while (end < lower.size() &&
         (std::isalnum(static_cast<unsigned char>(lower[end])) || lower[end] == '_')) {
    ++end;
  }
  return lower.substr(at, end - at);
}

TEST(Reports, EachReadsItsRoutineWithItsParameters) {
  const ReportCase cases[] = {
      {"qStampa_Cliente", "STAMPA_CLIENTI_ANAGRAFICA", 6},
      {"qStampa_Fornitore", "STAMPA_FORNITORI_ANAGRAFICA", 3},
      {"qSelectStampa_Cliente_Contabile", "STAMPA_CLIENTE_CONTABILE", 11},
      {"qStampa_Ditta_Header", "STAMPA_DITTA_HEADER", 1},
      {"qStampa_Lista_Pdc", "STAMPA_LISTA_PDC", 6},
      {"qStampa_Lista_Pdc_XCC", "STAMPA_LISTA_PDC_XCC", 14},
      {"qStampa_Lista_Pdc_TOT", "STAMPA_LISTA_PDC_TOT", 6},
      {"qStampa_Lista_Pdc_TOT_XCC", "STAMPA_LISTA_PDC_TOT_XCC", 14},
      {"qStampa_Situazione", "Stampa_Situazione", 6},
      {"qStampa_Situazione_XCC", "STAMPA_SITUAZIONE_XCC", 14},
  };
  size_t reports = 0;
  for (const QueryDef& query : Queries()) reports += query.module == Module::Report;
  EXPECT_EQ(reports, std::size(cases));
  for (const ReportCase& c : cases) {
    SCOPED_TRACE(c.query_name);
    const QueryDef& query = Get(c.query_name);
    EXPECT_EQ(query.module, Module::Report);
    EXPECT_EQ(RoutineOf(query.sql), Lower(c.routine));
    EXPECT_EQ(query.params.size(), c.params);
  }
}

TEST(Reports, ParameterKinds) {
  // Company keys are strings, as is the country code; every other report
  // parameter is an integer.
  const std::set<std::string> strings = {"ID_DITTE", "ID_DITTA", "CODICE_PAESE"};
  for (const QueryDef& query : Queries()) {
    if (query.module != Module::Report) continue;
    for (const ParamDef& param : query.params) {
      EXPECT_EQ(param.kind, strings.count(param.name) ? FieldKind::String : FieldKind::Integer)
          << query.query_name << "." << param.name;
    }
  }
}

TEST(Reports, AccountPositionNamesItsFlagsInThePlural) {
  const std::vector<std::string> base = {"ID_DITTE", "IN_TIPO",   "ANNO",
                                         "LIVELLO",  "FORNITORE", "CLIENTE"};
  EXPECT_EQ(ParamNames(Get("qStampa_Lista_Pdc")), base);
  EXPECT_EQ(ParamNames(Get("qStampa_Lista_Pdc_TOT")), base);
  EXPECT_EQ(
      ParamNames(Get("qStampa_Situazione")),
      (std::vector<std::string>{"ID_DITTE", "IN_TIPO", "ANNO", "LIVELLO", "FORNITORI", "CLIENTI"}));
  EXPECT_EQ(ParamNames(Get("qStampa_Ditta_Header")), std::vector<std::string>{"ID_DITTA"});
}

// ---------------------------------------------------------------------------
// setQuery indexes

TEST(SetQueryIndexes, AscendingFromZeroToSeventyOneWithoutNineAndTen) {
  const auto indexes = SetQueryIndexes();
  ASSERT_EQ(indexes.size(), 70u);
  EXPECT_EQ(indexes.front().index, 0);
  EXPECT_EQ(indexes.back().index, 71);
  for (size_t i = 1; i < indexes.size(); ++i) {
    EXPECT_LT(indexes[i - 1].index, indexes[i].index);
  }
  for (const SetQueryIndex& entry : indexes) {
    EXPECT_NE(entry.index, 9);
    EXPECT_NE(entry.index, 10);
  }
}

TEST(SetQueryIndexes, NameReplaceableCatalogueSelects) {
  for (const SetQueryIndex& entry : SetQueryIndexes()) {
    SCOPED_TRACE(entry.index);
    const QueryDef* query = Find(entry.query_name);
    ASSERT_NE(query, nullptr) << entry.query_name;
    EXPECT_EQ(query->module, Module::Catalogue);
    EXPECT_NE(query->provider_name, nullptr);
    EXPECT_EQ(query->sql == nullptr, IsGeneralPurpose(entry.query_name));
    // A replacement SQL brings its own columns; only the municipalities keep
    // a fixed field list.
    EXPECT_EQ(query->fields.empty(), std::string_view(entry.query_name) != "qSelectComuni");
  }
}

TEST(SetQueryIndexes, OnlyTheListsAnswerToTwoIndexes) {
  std::map<std::string, std::vector<int32_t>> indexes_of;
  for (const SetQueryIndex& entry : SetQueryIndexes()) {
    indexes_of[entry.query_name].push_back(entry.index);
  }
  EXPECT_EQ(indexes_of.size(), 68u);
  EXPECT_EQ(indexes_of["qSelectElencoCli"], (std::vector<int32_t>{47, 57}));
  EXPECT_EQ(indexes_of["qSelectElencoFor"], (std::vector<int32_t>{48, 58}));
}

TEST(SetQueryIndexes, SpotChecks) {
  const std::map<int32_t, std::string> expected = {
      {0, "qSelect"},
      {8, "qSelect_8"},
      {11, "qSelectMovimentiContabili"},
      {13, "qSelectArticoli"},
      {36, "qSelectFornitoriDitte"},
      {39, "qSelectComuni"},
      {67, "qSelectQuadroVP"},
      {71, "qSelectEleForMov2017"},
  };
  std::map<int32_t, std::string> actual;
  for (const SetQueryIndex& entry : SetQueryIndexes()) {
    if (expected.count(entry.index)) actual[entry.index] = entry.query_name;
  }
  EXPECT_EQ(actual, expected);
}

TEST(SetQueryIndexes, EveryGeneralPurposeQueryHasOne) {
  std::set<std::string> indexed;
  for (const SetQueryIndex& entry : SetQueryIndexes()) indexed.insert(entry.query_name);
  for (const QueryDef& query : Queries()) {
    if (IsGeneralPurpose(query.query_name)) {
      EXPECT_EQ(indexed.count(query.query_name), 1u) << query.query_name;
    }
  }
}

}  // namespace
}  // namespace orvala::catalogue
