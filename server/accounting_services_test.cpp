// The accounting services against a fresh reference database: how the
// arguments reach the routines' parameters, how the routines' answers are
// mapped, the gate of the logged-in flag, and the work the reference
// routines do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "server/server_fixture.h"

namespace orvala::server {
namespace {

// The routine behind each method, declared as the reference database
// declares it, and the column that the method reads (nullptr: executable).
struct Routine {
  const char* method;
  const char* declaration;
  const char* column;
};

const Routine kRoutines[] = {
    {"CheckNumRegistrazione",
     "CHECK_NUMERO_REGISTRAZIONE (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, "
     "NUM_REGISTRAZIONE INTEGER, CODCAU INTEGER, TIPOPIANO INTEGER)",
     "LAST_REGISTRAZIONE"},
    {"CheckNumDocumento",
     "AGGIORNA_CONTATORE_DOCUMENTI (ID_DITTE VARCHAR(7), ID_ANNO INTEGER, NUMERO INTEGER, "
     "CONFRONTO INTEGER)",
     "LAST_CONTATORE"},
    {"ExistingDocumento",
     "CHECK_NUMERO_DOCUMENTO (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, NUM_DOCUMENTO INTEGER, "
     "REGISTRO INTEGER, MASTRO INTEGER, CONTO INTEGER, SOTTOCONTO INTEGER)",
     "ESISTENTE"},
    {"isLocked", "ISLOCKED (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, NUMREG INTEGER)", "LOCKED"},
    {"UpdatePianoProgressivo",
     "AGGIORNA_PROGRESSIVI_PIANO (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, TIPOCONTO INTEGER, "
     "MASTRO INTEGER, CONTO INTEGER, SOTTOCONTO INTEGER, DETTAGLIO INTEGER, "
     "IMPORTO DOUBLE PRECISION, TIPO VARCHAR(10))",
     nullptr},
    {"UpdateIVAProgressivo",
     "AGGIORNA_PROGRESSIVI_IVA (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, MESERIF INTEGER, "
     "REGISTRO INTEGER, ID_TAB_ISO INTEGER, CODICE_IVA VARCHAR(6), "
     "IMPONIBILE DOUBLE PRECISION, IVA DOUBLE PRECISION)",
     nullptr},
    {"updateIVATERProgressivo",
     "AGGIORNA_IVA_TER (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, MESERIF INTEGER, "
     "REGISTRO INTEGER, ID_TAB_ISO INTEGER, ID_TIPO_VIAGGIO INTEGER, CODICE_IVA VARCHAR(4), "
     "IMPONIBILE DOUBLE PRECISION, IVA DOUBLE PRECISION)",
     nullptr},
    {"UpdateHeader",
     "AGGIORNA_HEADER (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, NUM_REGISTRAZIONE INTEGER, "
     "CODCAU INTEGER, TIPOPIANO INTEGER, MASTRO INTEGER, CONTO INTEGER, SOTTOCONTO INTEGER, "
     "DETTAGLIO INTEGER, IMPORTO DOUBLE PRECISION, DATA_SCADENZA TIMESTAMP, "
     "PROTOCOLLO INTEGER, NUMERO_DOCUMENTO INTEGER, SIGLA_DOCUMENTO VARCHAR(3), "
     "DATA_DOCUMENTO TIMESTAMP, NUMERO_PARTITA INTEGER, RIFERIMENTO_IVA TIMESTAMP, "
     "COMPETENZA TIMESTAMP, CONDPAG INTEGER, VALUTA INTEGER, DATA_VALUTA TIMESTAMP, "
     "CAMBIO DOUBLE PRECISION)",
     nullptr},
    {"DeleteRegistrazione",
     "DELETE_REGISTRAZIONE (ID_DITTE VARCHAR(5), ID_ANNO INTEGER, NUMREG INTEGER)", nullptr},
    {"ClearPrimaNota", "CLEAR_PRIMA_NOTA", nullptr},
    {"CanDeleteCliente", "CAN_DELETE_CLIENTE (ID_CLIENTI INTEGER)", "CANDELETE"},
    {"CanDeleteClienteDitta", "CAN_DELETE_CLIENTEDITTA (ID_CLIENTI INTEGER)", "CANDELETE"},
    {"CanDeleteFornitori", "CAN_DELETE_FORNITORE (ID_FORNITORI INTEGER)", "CANDELETE"},
    {"CheckClientiCF", "CHECK_CLIENTI_CF (CF VARCHAR(30))", "PRESENTE"},
    {"CheckFornitoriCF", "CHECK_FORNITORI_CF (CF VARCHAR(30))", "PRESENTE"},
    {"Next_Sottoconto_Cliente",
     "GET_CLIENTI_NEXT_SOTTOCONTO (MASTRO INTEGER, CONTO INTEGER, ID_DITTE VARCHAR(5))",
     "SOTTOCONTO"},
    {"Next_Sottoconto_Fornitore",
     "GET_FORNITORI_NEXT_SOTTOCONTO (MASTRO INTEGER, CONTO INTEGER, ID_DITTE VARCHAR(5))",
     "SOTTOCONTO"},
};

const Routine& RoutineOf(const std::string& method) {
  for (const Routine& r : kRoutines) {
    if (method == r.method) return r;
  }
  throw std::logic_error("no routine for " + method);
}

// The parameter names of a declaration "NAME (P1 TYPE, P2 TYPE, ...)".
std::vector<std::string> ParameterNames(const std::string& declaration) {
  std::vector<std::string> names;
  const size_t open = declaration.find('(');
  if (open == std::string::npos) return names;
  size_t at = open + 1;
  while (at < declaration.size()) {
    while (declaration[at] == ' ') ++at;
    const size_t end = declaration.find(' ', at);
    names.push_back(declaration.substr(at, end - at));
    // Skip the type, which may hold a parenthesised length.
    int depth = 0;
    for (at = end; at < declaration.size(); ++at) {
      const char c = declaration[at];
      if (c == '(') ++depth;
      if (c == ')' && depth-- == 0) return names;
      if (c == ',' && depth == 0) break;
    }
    ++at;
  }
  return names;
}

Variant Text(std::u16string s) { return Variant::BStr(std::move(s)); }
Variant Int(int32_t i) { return Variant::I4(i); }
Variant Real(double d) { return Variant::R8(d); }

Timestamp At(int year, int month, int day, int hour = 0, int minute = 0) {
  return FromCivil({year, month, day, hour, minute});
}
double AutomationDate(int year, int month, int day, int hour = 0, int minute = 0) {
  return ToAutomationDate(At(year, month, day, hour, minute));
}

class AccountingTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    Sql("create table echo (line varchar(2000))");
    registry::WriteDatabaseLocation(registry_, database_);
  }

  std::unique_ptr<TOrvala> OpenObject() {
    auto object = NewObject();
    CallMethod(*object, "OpenDB");
    return object;
  }

  // Replaces the routine of `method`. In `returns` and `body` "@" stands
  // for the column that the method reads.
  void Replace(const std::string& method, const std::string& returns, const std::string& body) {
    const Routine& routine = RoutineOf(method);
    auto expand = [&](std::string text) {
      for (size_t at; (at = text.find('@')) != std::string::npos;) {
        text.replace(at, 1, routine.column ? routine.column : "");
      }
      return text;
    };
    std::string sql = std::string("create or alter procedure ") + routine.declaration;
    if (routine.column) sql += " returns (" + expand(returns) + ")";
    Sql(sql + " as begin " + expand(body) + " end");
  }

  // Replaces the routine of `method` by one that writes its inputs into
  // ECHO as "NAME=value;..." (NULL as <null>) and answers 1.
  void Echo(const std::string& method) {
    std::string line = "''";
    const char* separator = "";
    for (const std::string& name : ParameterNames(RoutineOf(method).declaration)) {
      line += " || '" + std::string(separator) + name + "=' || coalesce(cast(:" + name +
              " as varchar(60)), '<null>')";
      separator = ";";
    }
    const bool selectable = RoutineOf(method).column != nullptr;
    Replace(method, "@ integer",
            "insert into echo (line) values (" + line + ");" + (selectable ? " @ = 1; suspend;" : ""));
  }

  // The lines that the echo routines wrote since the last call.
  std::vector<std::string> TakeEcho() {
    std::vector<std::string> lines;
    driver::Query q("echo");
    q.SetConnection(&admin_);
    q.SetSql({"select line from echo"});
    q.Open();
    while (q.Next()) lines.push_back(std::get<std::string>(q.row()[0]));
    q.Close();
    Sql("delete from echo");
    return lines;
  }

  // The first column of the first row; NULL also when there is no row.
  Value One(const std::string& sql) {
    driver::Query q("one");
    q.SetConnection(&admin_);
    q.SetSql({sql});
    q.Open();
    Value v = q.Next() ? q.row()[0] : Value{};
    q.Close();
    return v;
  }

  // The out variant of a method that has one; Empty otherwise.
  static Variant OutOf(const std::string& method, const std::vector<Variant>& all_args) {
    const MethodDef* def = MethodByName(method);
    for (size_t i = 0; i < def->args.size(); ++i) {
      if (def->args[i].direction == ArgDirection::Out) return all_args[i];
    }
    return Variant();
  }
};

TEST_F(AccountingTest, EveryRoutineCallIsAComponentOfTheObject) {
  auto object = NewObject();
  const std::vector<std::string> names = object->ComponentNames();
  for (const char* expected :
       {"spCheckNumRegistrazione", "spCheckNumDocumento", "spExistingDocumento", "spIsLocked",
        "spUpdatePianoProgressivi", "spUpdateIVAProgressivi", "spUpdateIVATERProgressivi",
        "spAggiornaHeader", "spDeleteRegistrazione", "spClearPrimaNota", "spCanDeleteClienti",
        "spCanDeleteClientiDitta", "spCanDeleteFornitori", "spCheckClientiCF",
        "spCheckFornitoriCF", "spClientiNextSottoconto", "spFornNextSottoconto"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), expected), 1) << expected;
  }
  size_t answered = 0;
  for (const MethodDef& m : Methods()) answered += AccountingServices::Answers(m.name);
  EXPECT_EQ(answered, std::size(kRoutines));
}

// Every argument in its own parameter, with distinct values so that a
// swapped pair shows; text converted to the code page, empty text as ''.
struct MappingCase {
  const char* method;
  bool gated;
  std::vector<Variant> args;  // in arguments, in interface order
  const char* echoed;
};

const std::vector<MappingCase>& MappingCases() {
  static const std::vector<MappingCase> cases = {
      {"CheckNumRegistrazione", true,
       {Text(u"A\u4E2D"), Int(2024), Int(7), Int(11), Int(3)},
       "ID_DITTE=A?;ID_ANNO=2024;NUM_REGISTRAZIONE=7;CODCAU=11;TIPOPIANO=3"},
      {"CheckNumDocumento", true,
       {Text(u""), Int(2023), Int(4), Int(9)},
       "ID_DITTE=;ID_ANNO=2023;NUMERO=4;CONFRONTO=9"},
      {"ExistingDocumento", true,
       {Text(u"00001"), Int(2024), Int(31), Int(2), Int(60), Int(1), Int(5)},
       "ID_DITTE=00001;ID_ANNO=2024;NUM_DOCUMENTO=31;REGISTRO=2;MASTRO=60;CONTO=1;SOTTOCONTO=5"},
      {"isLocked", true,
       {Text(u"00002"), Int(2022), Int(17)},
       "ID_DITTE=00002;ID_ANNO=2022;NUMREG=17"},
      {"UpdatePianoProgressivo", false,
       {Text(u"A\u4E2D"), Int(2024), Int(1), Int(60), Int(2), Int(3), Int(4), Real(-1234.5),
        Text(u"")},
       "ID_DITTE=A?;ID_ANNO=2024;TIPOCONTO=1;MASTRO=60;CONTO=2;SOTTOCONTO=3;DETTAGLIO=4;"
       "IMPORTO=-1234.500000000000;TIPO="},
      {"UpdateIVAProgressivo", false,
       {Text(u"00001"), Int(2024), Int(3), Int(2), Int(1), Text(u""), Real(100.25), Real(22.5)},
       "ID_DITTE=00001;ID_ANNO=2024;MESERIF=3;REGISTRO=2;ID_TAB_ISO=1;CODICE_IVA=;"
       "IMPONIBILE=100.2500000000000;IVA=22.50000000000000"},
      {"updateIVATERProgressivo", false,
       {Text(u"00001"), Int(2024), Int(4), Int(5), Int(6), Int(7), Text(u"22"), Real(10.5),
        Real(-2.25)},
       "ID_DITTE=00001;ID_ANNO=2024;MESERIF=4;REGISTRO=5;ID_TAB_ISO=6;ID_TIPO_VIAGGIO=7;"
       "CODICE_IVA=22;IMPONIBILE=10.50000000000000;IVA=-2.250000000000000"},
      {"UpdateHeader", false,
       {Text(u"A\u4E2D"), Int(2024), Int(12), Int(21), Int(1), Int(60), Int(2), Int(3), Int(4),
        Real(1500.75), Variant::Null(), Int(88), Int(77), Text(u""),
        Variant::Date(AutomationDate(2024, 3, 1, 10, 30)), Int(5),
        Real(AutomationDate(2024, 3, 2)), Variant(), Int(9), Int(2),
        Variant::Date(AutomationDate(2024, 4, 15)), Real(1.25)},
       "ID_DITTE=A?;ID_ANNO=2024;NUM_REGISTRAZIONE=12;CODCAU=21;TIPOPIANO=1;MASTRO=60;CONTO=2;"
       "SOTTOCONTO=3;DETTAGLIO=4;IMPORTO=1500.750000000000;DATA_SCADENZA=<null>;PROTOCOLLO=88;"
       "NUMERO_DOCUMENTO=77;SIGLA_DOCUMENTO=;DATA_DOCUMENTO=2024-03-01 10:30:00.0000;"
       "NUMERO_PARTITA=5;RIFERIMENTO_IVA=2024-03-02 00:00:00.0000;COMPETENZA=<null>;CONDPAG=9;"
       "VALUTA=2;DATA_VALUTA=2024-04-15 00:00:00.0000;CAMBIO=1.250000000000000"},
      {"DeleteRegistrazione", false,
       {Text(u"00003"), Int(2021), Int(44)},
       "ID_DITTE=00003;ID_ANNO=2021;NUMREG=44"},
      {"ClearPrimaNota", false, {}, ""},
      {"CanDeleteCliente", true, {Int(123)}, "ID_CLIENTI=123"},
      {"CanDeleteClienteDitta", true, {Int(456)}, "ID_CLIENTI=456"},
      {"CanDeleteFornitori", true, {Int(789)}, "ID_FORNITORI=789"},
      {"CheckClientiCF", true, {Text(u"")}, "CF="},
      {"CheckFornitoriCF", true, {Text(u"A\u4E2D")}, "CF=A?"},
      {"Next_Sottoconto_Cliente", false,
       {Text(u"00001"), Int(40), Int(2)},
       "MASTRO=40;CONTO=2;ID_DITTE=00001"},
      {"Next_Sottoconto_Fornitore", false,
       {Text(u"A\u4E2D"), Int(41), Int(3)},
       "MASTRO=41;CONTO=3;ID_DITTE=A?"},
  };
  return cases;
}

TEST_F(AccountingTest, EveryArgumentReachesItsOwnParameter) {
  for (const MappingCase& c : MappingCases()) Echo(c.method);
  auto object = OpenObject();
  for (const MappingCase& c : MappingCases()) {
    SCOPED_TRACE(c.method);
    const CallOutcome outcome = CallMethod(*object, c.method, c.args);
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_EQ(TakeEcho(), std::vector<std::string>{c.echoed});
  }
}

TEST_F(AccountingTest, WithTheFlagDownOnlyTheChecksRefuse) {
  for (const MappingCase& c : MappingCases()) Echo(c.method);
  auto object = OpenObject();
  process_.logged_in() = false;
  for (const MappingCase& c : MappingCases()) {
    SCOPED_TRACE(c.method);
    std::vector<Variant> all_args;
    const CallOutcome outcome = CallMethod(*object, c.method, c.args, all_args);
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.error);
    if (c.gated) {
      EXPECT_FALSE(outcome.result);
      EXPECT_TRUE(OutOf(c.method, all_args).is_empty());
      EXPECT_TRUE(TakeEcho().empty());
    } else {
      EXPECT_EQ(TakeEcho().size(), 1u);
    }
  }
}

// How a selectable routine's answer becomes the method result and the out
// variant. "@" stands for the column the method reads.
struct AnswerCase {
  const char* method;
  std::vector<Variant> args;
  const char* returns;
  const char* body;
  Variant result;
  Variant out;  // Empty also for the methods without one
};

// A routine without a SUSPEND is not selectable at all.
const char* const kNoRow = "if (1 = 0) then suspend;";
const char* const kFails = "@ = 1 / 0; suspend;";

std::vector<AnswerCase> AnswerCases() {
  const std::vector<Variant> registration = {Text(u"00001"), Int(2024), Int(7), Int(1), Int(1)};
  const std::vector<Variant> registration_zero = {Text(u"00001"), Int(2024), Int(0), Int(1),
                                                  Int(1)};
  const std::vector<Variant> counter = {Text(u"00001"), Int(2024), Int(1), Int(0)};
  const std::vector<Variant> document = {Text(u"00001"), Int(2024), Int(31), Int(0),
                                         Int(0),         Int(0),    Int(0)};
  const std::vector<Variant> lock = {Text(u"00001"), Int(2024), Int(7)};
  const Variant null = Variant::Null();
  const Variant empty;
  std::vector<AnswerCase> cases = {
      {"CheckNumRegistrazione", registration, "@ integer", "@ = 7; suspend;", Int(0), Int(7)},
      {"CheckNumRegistrazione", registration, "@ integer", "@ = 8; suspend;", Int(1), Int(8)},
      {"CheckNumRegistrazione", registration, "@ integer", "@ = null; suspend;", Int(1), null},
      {"CheckNumRegistrazione", registration, "@ integer", kNoRow, Int(1), null},
      {"CheckNumRegistrazione", registration_zero, "@ integer", "@ = null; suspend;", Int(0),
       null},
      {"CheckNumRegistrazione", registration_zero, "@ integer", kNoRow, Int(0), null},
      {"CheckNumRegistrazione", registration, "@ integer", "@ = 7; suspend; @ = 8; suspend;",
       Int(0), Int(7)},
      {"CheckNumRegistrazione", registration, "@ integer, EXTRA varchar(5)",
       "@ = 7; EXTRA = 'x'; suspend;", Int(0), Int(7)},
      {"CheckNumRegistrazione", registration, "@ smallint", "@ = 7; suspend;", Int(0), Int(7)},
      {"CheckNumRegistrazione", registration, "@ integer", kFails, Int(1), empty},
      {"CheckNumRegistrazione", registration, "@ varchar(5)", "@ = '7'; suspend;", Int(1), empty},
      {"CheckNumRegistrazione", registration, "OTHER integer", "OTHER = 7; suspend;", Int(1),
       empty},

      {"CheckNumDocumento", counter, "@ integer", "@ = 5; suspend;", Int(0), Int(5)},
      {"CheckNumDocumento", counter, "@ integer", "@ = null; suspend;", Int(0), null},
      {"CheckNumDocumento", counter, "@ integer", kNoRow, Int(0), null},
      {"CheckNumDocumento", counter, "@ integer", kFails, Int(1), empty},
      {"CheckNumDocumento", counter, "@ double precision", "@ = 5; suspend;", Int(1), empty},

      {"ExistingDocumento", document, "@ integer", "@ = 1; suspend;", Int(0), Int(1)},
      {"ExistingDocumento", document, "@ integer", "@ = 0; suspend;", Int(0), Int(0)},
      {"ExistingDocumento", document, "@ integer", kNoRow, Int(0), null},
      {"ExistingDocumento", document, "@ integer", kFails, Int(1), empty},

      {"isLocked", lock, "@ integer", "@ = 1; suspend;", Int(0), empty},
      {"isLocked", lock, "@ smallint", "@ = 1; suspend;", Int(0), empty},
      {"isLocked", lock, "@ integer, EXTRA varchar(5)", "@ = 1; suspend;", Int(0), empty},
      {"isLocked", lock, "@ integer", "@ = 1; suspend; @ = 0; suspend;", Int(0), empty},
      {"isLocked", lock, "@ integer", "@ = 0; suspend;", Int(1), empty},
      {"isLocked", lock, "@ integer", "@ = 2; suspend;", Int(1), empty},
      {"isLocked", lock, "@ integer", "@ = -1; suspend;", Int(1), empty},
      {"isLocked", lock, "@ integer", "@ = null; suspend;", Int(1), empty},
      {"isLocked", lock, "@ integer", kNoRow, Int(1), empty},
      {"isLocked", lock, "@ integer", kFails, Int(1), empty},
      {"isLocked", lock, "@ varchar(5)", "@ = '1'; suspend;", Int(1), empty},
      {"isLocked", lock, "OTHER integer", "OTHER = 1; suspend;", Int(1), empty},
  };
  // The sub-account methods hand the number back, 0 for no number and 1
  // for a failure.
  for (const char* method : {"Next_Sottoconto_Cliente", "Next_Sottoconto_Fornitore"}) {
    const std::vector<Variant> args = {Text(u"00001"), Int(40), Int(1)};
    for (const AnswerCase& c : std::vector<AnswerCase>{
             {method, args, "@ integer", "@ = 5; suspend;", Int(5), empty},
             {method, args, "@ smallint", "@ = 5; suspend;", Int(5), empty},
             {method, args, "@ integer", "@ = 5; suspend; @ = 9; suspend;", Int(5), empty},
             {method, args, "@ integer", "@ = null; suspend;", Int(0), empty},
             {method, args, "@ integer", kNoRow, Int(0), empty},
             {method, args, "@ integer", kFails, Int(1), empty},
             {method, args, "@ varchar(5)", "@ = '5'; suspend;", Int(1), empty},
             {method, args, "OTHER integer", "OTHER = 5; suspend;", Int(1), empty},
         }) {
      cases.push_back(c);
    }
  }
  // The yes-or-no checks: any value but 0 is yes (result 0).
  const std::pair<const char*, std::vector<Variant>> checks[] = {
      {"CanDeleteCliente", {Int(1)}},      {"CanDeleteClienteDitta", {Int(1)}},
      {"CanDeleteFornitori", {Int(1)}},    {"CheckClientiCF", {Text(u"X")}},
      {"CheckFornitoriCF", {Text(u"X")}},
  };
  for (const auto& [method, args] : checks) {
    for (const AnswerCase& c : std::vector<AnswerCase>{
             {method, args, "@ integer", "@ = 1; suspend;", Int(0), empty},
             {method, args, "@ integer", "@ = 2; suspend;", Int(0), empty},
             {method, args, "@ integer", "@ = -1; suspend;", Int(0), empty},
             {method, args, "@ smallint", "@ = 1; suspend;", Int(0), empty},
             {method, args, "@ integer", "@ = 3; suspend; @ = 0; suspend;", Int(0), empty},
             {method, args, "@ integer", "@ = 0; suspend;", Int(1), empty},
             {method, args, "@ integer", "@ = null; suspend;", Int(1), empty},
             {method, args, "@ integer", kNoRow, Int(1), empty},
             {method, args, "@ integer", kFails, Int(1), empty},
             {method, args, "@ varchar(5)", "@ = '1'; suspend;", Int(1), empty},
             {method, args, "OTHER integer", "OTHER = 1; suspend;", Int(1), empty},
         }) {
      cases.push_back(c);
    }
  }
  return cases;
}

TEST_F(AccountingTest, TheRoutinesAnswerBecomesTheResult) {
  for (const AnswerCase& c : AnswerCases()) {
    SCOPED_TRACE(std::string(c.method) + " returns (" + c.returns + ") " + c.body);
    Replace(c.method, c.returns, c.body);
    auto object = OpenObject();  // after the change, so that it sees the new routine
    std::vector<Variant> all_args;
    const CallOutcome outcome = CallMethod(*object, c.method, c.args, all_args);
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, c.result);
    EXPECT_EQ(OutOf(c.method, all_args), c.out);
  }
}

TEST_F(AccountingTest, AFailedCallLeavesNothingBehindForTheNext) {
  // The routines fail for one input only, so that one object can call them
  // failing and then succeeding.
  Replace("CheckNumRegistrazione", "@ integer",
          "@ = case when ID_DITTE = 'BAD' then 1 / 0 else NUM_REGISTRAZIONE end; suspend;");
  Replace("Next_Sottoconto_Cliente", "@ integer",
          "@ = case when ID_DITTE = 'BAD' then 1 / 0 else MASTRO + CONTO end; suspend;");
  Replace("CheckClientiCF", "@ integer", "@ = case when CF = 'BAD' then 1 / 0 else 1 end; suspend;");
  auto object = OpenObject();
  for (int round = 0; round < 2; ++round) {
    std::vector<Variant> all_args;
    EXPECT_EQ(*CallMethod(*object, "CheckNumRegistrazione",
                          {Text(u"BAD"), Int(2024), Int(3), Int(0), Int(0)}, all_args)
                   .result,
              Int(1));
    EXPECT_TRUE(all_args[3].is_empty());
    EXPECT_EQ(*CallMethod(*object, "CheckNumRegistrazione",
                          {Text(u"OK"), Int(2024), Int(3), Int(0), Int(0)}, all_args)
                   .result,
              Int(0));
    EXPECT_EQ(all_args[3], Int(3));

    EXPECT_EQ(*CallMethod(*object, "Next_Sottoconto_Cliente", {Text(u"BAD"), Int(40), Int(1)})
                   .result,
              Int(1));
    EXPECT_EQ(*CallMethod(*object, "Next_Sottoconto_Cliente", {Text(u"OK"), Int(40), Int(2)})
                   .result,
              Int(42));

    EXPECT_EQ(*CallMethod(*object, "CheckClientiCF", {Text(u"BAD")}).result, Int(1));
    EXPECT_EQ(*CallMethod(*object, "CheckClientiCF", {Text(u"OK")}).result, Int(0));
  }
}

TEST_F(AccountingTest, TheChecksAnswerFromTheReferenceRoutines) {
  Sql("insert into movimenti_header (id_ditte, id_anno, mc_numreg, mastro, conto, sottoconto, "
      "numero_documento) values ('T1', 2024, 5, 60, 1, 5, 77)");
  Sql("insert into lock_registrazioni (id_ditte, id_anno, numreg) values ('T1', 2024, 5)");
  Sql("insert into clienti (id_clienti, ragionesociale, codicefiscale) "
      "values (900, 'FREE', 'RSSMRA80A01F205X')");
  Sql("insert into clienti (id_clienti, ragionesociale) values (901, 'WITH A COMPANY')");
  Sql("insert into clienti_ditte (id_clienti, id_ditte, mastro, conto, sottoconto) "
      "values (901, 'T1', 40, 1, 4)");
  Sql("insert into fornitori (id_fornitori, ragionesociale) values (902, 'SUPPLIER')");
  struct Case {
    const char* method;
    std::vector<Variant> args;
    Variant result;
    Variant out;
  };
  const Variant empty;
  // In order: the document counter counts from one call to the next.
  const Case cases[] = {
      {"CheckNumRegistrazione", {Text(u"T1"), Int(2024), Int(6), Int(0), Int(0)}, Int(0), Int(6)},
      {"CheckNumRegistrazione", {Text(u"T1"), Int(2024), Int(5), Int(0), Int(0)}, Int(1), Int(6)},
      {"CheckNumDocumento", {Text(u"T1"), Int(2024), Int(3), Int(0)}, Int(0), Int(1)},
      {"CheckNumDocumento", {Text(u"T1"), Int(2024), Int(3), Int(0)}, Int(0), Int(2)},
      {"CheckNumDocumento", {Text(u"T1"), Int(2024), Int(3), Int(-1)}, Int(0), Int(2)},
      {"CheckNumDocumento", {Text(u"T1"), Int(2024), Int(3), Int(10)}, Int(0), Int(10)},
      {"ExistingDocumento",
       {Text(u"T1"), Int(2024), Int(77), Int(0), Int(60), Int(1), Int(5)}, Int(0), Int(1)},
      {"ExistingDocumento",
       {Text(u"T1"), Int(2024), Int(78), Int(0), Int(60), Int(1), Int(5)}, Int(0), Int(0)},
      {"isLocked", {Text(u"T1"), Int(2024), Int(5)}, Int(0), empty},
      {"isLocked", {Text(u"T1"), Int(2024), Int(6)}, Int(1), empty},
      {"CanDeleteCliente", {Int(900)}, Int(0), empty},
      {"CanDeleteCliente", {Int(901)}, Int(1), empty},
      {"CanDeleteClienteDitta", {Int(901)}, Int(0), empty},
      {"CanDeleteFornitori", {Int(902)}, Int(0), empty},
      {"CheckClientiCF", {Text(u"rssmra80a01f205x")}, Int(0), empty},
      {"CheckClientiCF", {Text(u"")}, Int(1), empty},
      {"CheckFornitoriCF", {Text(u"RSSMRA80A01F205X")}, Int(1), empty},
      {"Next_Sottoconto_Cliente", {Text(u"T1"), Int(40), Int(1)}, Int(5), empty},
      {"Next_Sottoconto_Fornitore", {Text(u"T1"), Int(40), Int(1)}, Int(1), empty},
  };
  auto object = OpenObject();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    std::vector<Variant> all_args;
    const CallOutcome outcome = CallMethod(*object, c.method, c.args, all_args);
    ASSERT_TRUE(outcome.result);
    EXPECT_EQ(*outcome.result, c.result);
    EXPECT_EQ(OutOf(c.method, all_args), c.out);
  }
}

TEST_F(AccountingTest, TotalsMoveWithoutSignIn) {
  auto object = OpenObject();
  process_.logged_in() = false;
  auto piano = [&](double amount, const char16_t* kind) {
    const CallOutcome outcome = CallMethod(
        *object, "UpdatePianoProgressivo",
        {Text(u"T1"), Int(2024), Int(1), Int(60), Int(1), Int(5), Int(0), Real(amount), Text(kind)});
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.result);
    EXPECT_FALSE(outcome.error);
  };
  piano(100.25, u"D");
  piano(40.5, u"a");
  piano(-0.25, u"D");
  piano(999, u"X");  // refused by the routine, silently
  const std::string row =
      " from piacon_pro where id_ditte = 'T1' and id_anno = 2024 and tipoconto = 1 "
      "and mastro = 60 and conto = 1 and sottoconto = 5 and dettaglio = 0";
  EXPECT_EQ(Scalar("select count(*)" + row), 1);
  EXPECT_EQ(One("select dare" + row), Value(100.0));
  EXPECT_EQ(One("select avere" + row), Value(40.5));
  EXPECT_EQ(One("select saldo" + row), Value(59.5));

  for (int i = 0; i < 2; ++i) {
    CallMethod(*object, "UpdateIVAProgressivo",
               {Text(u"T1"), Int(2024), Int(3), Int(2), Int(1), Text(u"22"), Real(1000.5),
                Real(220.25)});
  }
  CallMethod(*object, "UpdateIVAProgressivo",
             {Text(u"T1"), Int(2024), Int(3), Int(2), Int(1), Text(u""), Real(1), Real(1)});
  EXPECT_EQ(Scalar("select count(*) from iva_pro where id_ditte = 'T1'"), 1);
  EXPECT_EQ(One("select imponibile from iva_pro where id_ditte = 'T1' and id_anno = 2024 and "
                "meserif = 3 and registro = 2 and id_tab_iso = 1 and codice_iva = '22'"),
            Value(2001.0));
  EXPECT_EQ(One("select iva from iva_pro where id_ditte = 'T1'"), Value(440.5));

  CallMethod(*object, "updateIVATERProgressivo",
             {Text(u"T1"), Int(2024), Int(4), Int(2), Int(1), Int(7), Text(u"10"), Real(10.5),
              Real(-1.25)});
  EXPECT_EQ(One("select iva from iva74ter_pro where id_ditte = 'T1' and id_anno = 2024 and "
                "meserif = 4 and registro = 2 and id_tab_iso = 1 and id_tipo_viaggio = 7 and "
                "codice_iva = '10' and imponibile = 10.5"),
            Value(-1.25));
}

TEST_F(AccountingTest, HeaderWrittenRewrittenAndDeletedWithoutSignIn) {
  auto object = OpenObject();
  process_.logged_in() = false;
  const std::string header =
      " from movimenti_header where id_ditte = 'T1' and id_anno = 2024 and mc_numreg = 12";
  auto write = [&](int32_t causale, Variant due_date) {
    const CallOutcome outcome = CallMethod(
        *object, "UpdateHeader",
        {Text(u"T1"), Int(2024), Int(12), Int(causale), Int(1), Int(60), Int(2), Int(3), Int(4),
         Real(1500.75), due_date, Int(88), Int(77), Text(u"FT"),
         Real(AutomationDate(2024, 3, 1, 10, 30)), Int(5),
         Variant::Date(AutomationDate(2024, 3, 2)), Variant::Date(AutomationDate(2024, 3, 3)),
         Int(9), Int(2), Variant::Date(AutomationDate(2024, 4, 15)), Real(1.25)});
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.result);
  };
  write(21, Variant::Date(AutomationDate(2024, 3, 31)));
  driver::Query q("header");
  q.SetConnection(&admin_);
  q.SetSql({"select mc_codcau, id_tipopiaco, mastro, conto, sottoconto, dettaglio, importo, "
            "datascadenza, protocollo, numero_documento, sigla_documento, data_documento, "
            "numero_partita, riferimento_iva, competenza, condpag, valuta, data_valuta, cambio, "
            "scadenza" + header});
  q.Open();
  ASSERT_TRUE(q.Next());
  const std::vector<Value> expected = {
      int32_t{21}, int32_t{1},  int32_t{60},         int32_t{2},          int32_t{3},
      int32_t{4},  1500.75,     At(2024, 3, 31),     int32_t{88},         int32_t{77},
      std::string("FT"),        At(2024, 3, 1, 10, 30), int32_t{5},       At(2024, 3, 2),
      At(2024, 3, 3),           int32_t{9},          int32_t{2},          At(2024, 4, 15),
      1.25,        Value{}};
  EXPECT_EQ(q.row(), expected);
  q.Close();

  write(22, Variant::Null());
  EXPECT_EQ(Scalar("select count(*)" + header), 1);
  EXPECT_EQ(Scalar("select mc_codcau" + header), 22);
  EXPECT_EQ(Scalar("select count(*)" + header + " and datascadenza is null"), 1);

  Sql("insert into lock_registrazioni (id_ditte, id_anno, numreg) values ('T1', 2024, 12)");
  for (int i = 0; i < 2; ++i) {  // the second finds nothing to delete
    const CallOutcome outcome =
        CallMethod(*object, "DeleteRegistrazione", {Text(u"T1"), Int(2024), Int(12)});
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.result);
  }
  EXPECT_EQ(Scalar("select count(*)" + header), 0);
  EXPECT_EQ(Scalar("select count(*) from lock_registrazioni where id_ditte = 'T1'"), 0);
}

TEST_F(AccountingTest, DatesOfEveryVariantKind) {
  struct Case {
    Variant date;
    bool written;
    std::optional<Timestamp> stored;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {Variant(), true, std::nullopt},
      {Variant::Null(), true, std::nullopt},
      {Variant::Date(AutomationDate(2024, 3, 1, 10, 30)), true, At(2024, 3, 1, 10, 30)},
      {Real(AutomationDate(1899, 12, 29, 6)), true, At(1899, 12, 29, 6)},
      {Text(u"2024-03-01"), false, std::nullopt},
      {Int(45000), false, std::nullopt},
      {Real(nan), false, std::nullopt},
      {Real(1e300), false, std::nullopt},
  };
  auto object = OpenObject();
  int32_t number = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(number);
    ++number;
    // The date goes through each of the five date arguments in turn.
    for (size_t argument : {10u, 14u, 16u, 17u, 20u}) {
      std::vector<Variant> args = {
          Text(u"T2"), Int(2024), Int(number), Int(1), Int(1), Int(60), Int(1), Int(1), Int(0),
          Real(1),     Variant(), Int(0),      Int(0), Text(u""), Variant(), Int(0), Variant(),
          Variant(),   Int(0),    Int(0),      Variant(), Real(1)};
      args[argument] = c.date;
      Sql("delete from movimenti_header where id_ditte = 'T2'");
      const CallOutcome outcome = CallMethod(*object, "UpdateHeader", args);
      EXPECT_EQ(outcome.status, S_OK);
      EXPECT_FALSE(outcome.error);
      const std::string where = " from movimenti_header where id_ditte = 'T2' and mc_numreg = " +
                                std::to_string(number);
      ASSERT_EQ(Scalar("select count(*)" + where), c.written ? 1 : 0) << argument;
      if (!c.written) continue;
      const char* column = argument == 10   ? "datascadenza"
                           : argument == 14 ? "data_documento"
                           : argument == 16 ? "riferimento_iva"
                           : argument == 17 ? "competenza"
                                            : "data_valuta";
      const Value stored = One(std::string("select ") + column + where);
      EXPECT_EQ(stored, c.stored ? Value(*c.stored) : Value{}) << column;
    }
  }
}

TEST_F(AccountingTest, ClearPrimaNotaEmptiesTheWorkAreaAndNeverFails) {
  Sql("insert into prima_nota (id_ditte, id_anno, pn_numreg, pn_progreg) values ('T1', 2024, 1, 1)");
  Sql("insert into prima_nota (id_ditte, id_anno, pn_numreg, pn_progreg) values ('T2', 2023, 1, 1)");
  auto object = OpenObject();
  process_.logged_in() = false;
  EXPECT_EQ(CallMethod(*object, "ClearPrimaNota").status, S_OK);
  EXPECT_EQ(Scalar("select count(*) from prima_nota"), 0);

  object.reset();
  Sql("drop procedure clear_prima_nota");
  object = OpenObject();
  const CallOutcome outcome = CallMethod(*object, "ClearPrimaNota");
  EXPECT_EQ(outcome.status, S_OK);
  EXPECT_FALSE(outcome.error);
}

TEST_F(AccountingTest, WithoutADatabaseTheMethodsFailQuietly) {
  // Never opened: no location in the object's connection.
  auto object = NewObject();
  process_.logged_in() = true;
  for (const MappingCase& c : MappingCases()) {
    SCOPED_TRACE(c.method);
    std::vector<Variant> all_args;
    const CallOutcome outcome = CallMethod(*object, c.method, c.args, all_args);
    EXPECT_EQ(outcome.status, S_OK);
    EXPECT_FALSE(outcome.error);
    const MethodDef* def = MethodByName(c.method);
    if (def->result == ResultType::None) {
      EXPECT_FALSE(outcome.result);
    } else {
      ASSERT_TRUE(outcome.result);
      EXPECT_EQ(*outcome.result, Int(1));  // a failed check, or the sub-account's 1
    }
    EXPECT_TRUE(OutOf(c.method, all_args).is_empty());
  }
}

}  // namespace
}  // namespace orvala::server
