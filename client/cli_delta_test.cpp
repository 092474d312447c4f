// Deltas whose old rows name only some fields: orvala-cli completes them
// from the rows it fetched in the session, or refuses the line and sends
// nothing. Read back with SQL outside the server.
#include "client/cli_test_harness.h"

namespace orvala::client {
namespace {

using testing::CliRun;
using testing::CliTest;

constexpr const char* kSupplier =
    "select * from fornitori_ditte where id_fornitori = 1 and id_ditte = '00001'";

// The supplier statements write the old value of every field that the
// client did not change, so a field left out of old must arrive as fetched
// (the first change moves the supplier to another sub-account, giving the
// three NOT NULL columns whose null would otherwise make the statement fail
// and the row go to the plain resolver).
TEST_F(CliTest, TheSupplierHookKeepsTheFieldsThatOldLeavesOut) {
  std::vector<Value> expected = Rows(kSupplier).at(0);
  ASSERT_EQ(expected.size(), 15u);
  const CliRun run = Run(R"(OpenDB
AS_GetRecords SelectFornitoriDitte
AS_ApplyUpdates SelectFornitoriDitte {"modify":[{"old":{"ID_FORNITORI":1,"ID_DITTE":"00001"},"new":{"MASTRO":30,"CONTO":1,"SOTTOCONTO":5,"NOTE2":"Seconda nota"}}]} 0
AS_ApplyUpdates SelectFornitoriDitte {"modify":[{"old":{"id_fornitori":1,"id_ditte":"00001"},"new":{"SCONTO_2":1.5}}]} 0
AS_ApplyUpdates SelectFornitoriDitte {"delete":[{"ID_FORNITORI":2,"ID_DITTE":"00001"}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 5u);
  for (size_t k = 2; k < 5; ++k) EXPECT_EQ(run.calls[k]["errorCount"], 0) << run.calls[k].dump();

  // The second change keeps the first: the session's fetched row follows
  // what it applied.
  expected[4] = 5;                                // SOTTOCONTO
  expected[7] = 1.5;                              // SCONTO_2
  expected[13] = std::string("Seconda nota");     // NOTE2
  EXPECT_EQ(Rows(kSupplier).at(0), expected);
  EXPECT_EQ(Scalar("select count(*) from fornitori_ditte where id_fornitori = 2"), 0);
  EXPECT_EQ(Scalar("select count(*) from fornitori_ditte"), 3);
}

// A plain provider, fetched in slices: the rows of every slice are found,
// and only the changed column changes.
TEST_F(CliTest, APlainProviderFetchedInSlicesChangesOnlyWhatIsSent) {
  const auto row_of = [&](const char* code) {
    return Rows(std::string("select * from articoli where codice = '") + code + "'").at(0);
  };
  std::vector<Value> first = row_of("ART001"), last = row_of("ART025");
  const CliRun run = Run(R"(OpenDB
AS_GetRecords SelectArticoli 10
AS_GetRecords SelectArticoli 10
AS_GetRecords SelectArticoli 10
AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART001"},"new":{"DESCRIZIONE":"Prima"}},{"old":{"CODICE":"ART025"},"new":{"NOTE":null}}]} 0
)");
  ASSERT_EQ(run.exit_status, 0) << run.errors;
  ASSERT_EQ(run.calls.size(), 5u);
  EXPECT_EQ(run.calls[4]["errorCount"], 0) << run.calls[4].dump();
  first[1] = std::string("Prima");
  last[20] = Value{};  // NOTE
  EXPECT_EQ(row_of("ART001"), first);
  EXPECT_EQ(row_of("ART025"), last);
}

// A fetch of more rows than one chunk of the session's store, and a row
// deleted by the session is no longer found.
TEST_F(CliTest, ALargeFetchIsSearchedWholeAndFollowsDeletes) {
  Sql("create table big (id integer not null primary key, v varchar(10), n integer)");
  Sql("execute block as declare i integer = 0; begin while (i < 10000) do begin "
      "insert into big values (:i, 'v' || :i, :i); i = i + 1; end end");
  const CliRun run = Run(R"(OpenDB
AddProvider B "select * from big order by id"
AS_GetRecords B 3000
AS_GetRecords B 3000
AS_GetRecords B 3000
AS_GetRecords B 3000
AS_ApplyUpdates B {"modify":[{"old":{"ID":9999},"new":{"N":-1}},{"old":{"ID":10},"new":{"V":"w"}}],"delete":[{"ID":4100}]} 0
AS_ApplyUpdates B {"modify":[{"old":{"ID":4100},"new":{"N":-1}}]} 0
)");
  EXPECT_EQ(run.exit_status, 2);
  ASSERT_EQ(run.calls.size(), 7u) << run.errors;
  EXPECT_EQ(run.calls[5]["recsOut"], 1000);
  EXPECT_EQ(run.calls[6]["errorCount"], 0) << run.calls[6].dump();
  EXPECT_NE(run.errors.find("modify row 1: old gives ID but not V, N, which are taken from the "
                            "rows that this session fetched from B, and none of them holds"),
            std::string::npos)
      << run.errors;
  EXPECT_EQ(Scalar("select count(*) from big"), 9999);
  EXPECT_EQ(Scalar("select n from big where id = 9999"), -1);
  EXPECT_EQ(Scalar("select count(*) from big where v = 'w'"), 1);
  EXPECT_EQ(Scalar("select count(*) from big where n = -1"), 1);
}

// Lines whose old rows cannot be completed are refused: the run stops
// with status 2 and nothing reaches the database.
TEST_F(CliTest, AnOldRowThatCannotBeCompletedIsRefusedAndNothingIsSent) {
  struct Case {
    const char* name;
    const char* script;  // after OpenDB
    const char* message;
  };
  const Case cases[] = {
      {"nothing fetched",
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART001"},"new":{"DESCRIZIONE":"Nuova"}}]} 0)",
       "argument Delta: modify row 1: old gives CODICE but not DESCRIZIONE, DESCRIZIONE2, "
       "UNITA_MISURA, ID_TAB_IVA, GRUPPO"},
      {"supplier without a fetch",
       R"(AS_ApplyUpdates SelectFornitoriDitte {"modify":[{"old":{"ID_FORNITORI":1,"ID_DITTE":"00001"},"new":{"NOTE1":"x"}}]} 0)",
       "old gives ID_FORNITORI, ID_DITTE but not MASTRO, CONTO, SOTTOCONTO, ID_TAB_COND_PAG, "
       "SCONTO_1, SCONTO_2, MASTRO_COSTI, CONTO_COSTI, SOTTOCONTO_COSTI, DETTAGLIO_COSTI, NOTE1, "
       "NOTE2, VALUTA, which are taken from the rows that this session fetched from "
       "SelectFornitoriDitte, and it holds none"},
      {"delete without a fetch", R"(AS_ApplyUpdates SelectArticoli {"delete":[{"CODICE":"ART001"}]} 0)",
       "delete row 1: old gives CODICE but not DESCRIZIONE"},
      {"no fetched row matches",
       "AS_GetRecords SelectArticoli\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART999"},"new":{"DESCRIZIONE":"Nuova"}}]} 0)",
       "and none of them holds what old gives"},
      {"several fetched rows match",
       "AS_GetRecords SelectArticoli\n"
       R"(AS_ApplyUpdates SelectArticoli {"delete":[{"GRUPPO":"CEM"}]} 0)",
       "and several of them hold what old gives: give more fields in old"},
      {"one fetched row changed twice",
       "AS_GetRecords SelectArticoli\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART001"},"new":{"DESCRIZIONE":"Nuova"}},{"old":{"CODICE":"ART001"},"new":{"NOTE":"Nuova"}}]} 0)",
       "modify row 2 finds the same fetched row as an earlier row of the delta"},
      {"a restarted fetch holds only its own rows",
       "AS_GetRecords SelectArticoli 10\nAS_GetRecords SelectArticoli 5 2\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART008"},"new":{"DESCRIZIONE":"Nuova"}}]} 0)",
       "and none of them holds what old gives"},
      {"ExecSQL forgets what was fetched",
       "AS_GetRecords SelectArticoli\nExecSQL \"update fornitori_ditte set note2 = note2\"\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART001"},"new":{"DESCRIZIONE":"Nuova"}}]} 0)",
       "and it holds none"},
      {"a failed apply forgets what was fetched",
       "AS_GetRecords SelectArticoli\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART001"},"new":{"DESCRIZIONE":null}}]} 0)"
       "\n"
       R"(AS_ApplyUpdates SelectArticoli {"modify":[{"old":{"CODICE":"ART002"},"new":{"DESCRIZIONE":"Nuova"}}]} 0)",
       "and it holds none"},
      {"an apply through another provider forgets what was fetched",
       "AS_GetRecords SelectFornitoriDitte\nAS_GetRecords SelectOrderedFornitoriDitte\n"
       R"(AS_ApplyUpdates SelectOrderedFornitoriDitte {"modify":[{"old":{"ID_FORNITORI":3,"ID_DITTE":"00002"},"new":{"NOTE1":"y"}}]} 0)"
       "\n"
       R"(AS_ApplyUpdates SelectFornitoriDitte {"modify":[{"old":{"ID_FORNITORI":3,"ID_DITTE":"00002"},"new":{"NOTE2":"z"}}]} 0)",
       "and it holds none"},
  };
  const auto articles = Rows("select * from articoli order by codice");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto suppliers = Rows("select * from fornitori_ditte order by id_fornitori, id_ditte");
    const CliRun run = Run(std::string("OpenDB\n") + c.script + "\n");
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_EQ(Rows("select * from articoli order by codice"), articles);
    // Only the apply through the other provider may change a supplier row,
    // and only in the column that it sent.
    auto after = Rows("select * from fornitori_ditte order by id_fornitori, id_ditte");
    if (std::string(c.name).starts_with("an apply through")) {
      ASSERT_EQ(after.size(), suppliers.size());
      EXPECT_EQ(after[2][12], Value(std::string("y")));
      after[2][12] = suppliers[2][12];
    }
    EXPECT_EQ(after, suppliers);
  }
}

}  // namespace
}  // namespace orvala::client
