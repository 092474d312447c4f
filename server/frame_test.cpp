#include "server/frame.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "server/orvala.h"

namespace orvala::server {
namespace {

// What a caller sees: "-" no result written, "0"/"1" that method result
// (or I4 variant), "E" an Empty variant, "FAIL" a failure status.
std::string Seen(const CallOutcome& outcome) {
  if (Failed(outcome.status)) return "FAIL";
  if (!outcome.result) return "-";
  if (outcome.result->is_empty()) return "E";
  return std::to_string(outcome.result->i4());
}

struct Expectation {
  const char* method;
  bool gated;
  const char* on_success;    // the body writes nothing and returns
  const char* on_error;      // the body raises the system's error type
  const char* on_other;      // the body raises anything else
  bool logs = false;         // a caught error writes an error entry
};

const Expectation kExpectations[] = {
    {"Login", false, "0", "1", "FAIL", true},
    {"Logoff", true, "-", "1", "FAIL", true},
    {"ScriviLOG", true, "0", "1", "FAIL"},
    {"CanDo", true, "1", "1", "FAIL"},
    {"OpenDB", false, "-", "FAIL", "FAIL"},
    {"ExecSQL", false, "0", "1", "1"},
    {"CheckNumRegistrazione", true, "1", "1", "FAIL"},
    {"setQuery", true, "1", "1", "FAIL"},
    {"UpdatePianoProgressivo", false, "-", "-", "FAIL"},
    {"UpdateIVAProgressivo", false, "-", "-", "FAIL"},
    {"CheckNumDocumento", true, "1", "1", "FAIL"},
    {"DeleteRegistrazione", false, "-", "-", "FAIL"},
    {"UpdateHeader", false, "-", "-", "FAIL"},
    {"AddProvider", false, "0", "1", "1"},
    {"AddParameter", false, "0", "1", "1"},
    {"DestroyProvider", false, "-", "FAIL", "FAIL"},
    {"ClearPrimaNota", false, "-", "-", "-"},
    {"isLocked", true, "1", "1", "FAIL"},
    {"ExistingDocumento", true, "1", "1", "FAIL"},
    {"CanDeleteCliente", true, "1", "1", "FAIL"},
    {"CheckClientiCF", true, "1", "1", "FAIL"},
    {"AddMasterProvider", false, "0", "1", "1"},
    {"DestroyMasterProvider", false, "-", "FAIL", "FAIL"},
    {"AddDetailProvider", false, "0", "1", "1"},
    {"CanDeleteClienteDitta", true, "1", "1", "FAIL"},
    {"CanDeleteFornitori", true, "1", "1", "FAIL"},
    {"CheckFornitoriCF", true, "1", "1", "FAIL"},
    {"Next_Sottoconto_Cliente", false, "E", "1", "1"},
    {"Next_Sottoconto_Fornitore", false, "E", "1", "1"},
    {"GetSession", false, "-", "FAIL", "FAIL"},
    {"updateIVATERProgressivo", false, "-", "-", "FAIL"},
    {"AS_GetRecords", false, "-", "FAIL", "FAIL"},
    {"AS_ApplyUpdates", false, "-", "FAIL", "FAIL"},
};

TEST(FrameTest, EveryMethodFollowsItsRow) {
  int orvala_methods = 0;
  for (const Expectation& e : kExpectations) {
    const MethodDef* method = MethodByName(e.method);
    ASSERT_NE(method, nullptr) << e.method;
    orvala_methods += method->kind == InterfaceKind::Orvala;
    const FrameRule& rule = method->frame;
    for (bool flag : {false, true}) {
      std::atomic<bool> logged_in{flag};
      struct Body {
        const char* kind;
        std::function<void(Call&)> run;
      };
      const Body bodies[] = {
          {"success", [](Call&) {}},
          {"error", [](Call&) { throw Error("boom", 7); }},
          {"other", [](Call&) { throw 42; }},
      };
      for (const Body& body : bodies) {
        std::vector<Variant> args(method->args.size());
        Call call(*method, args);
        int logged = 0;
        const CallOutcome outcome = RunFramed(rule, call, logged_in, body.run,
                                              [&](Call&, const std::string&) { ++logged; });
        const std::string kind = body.kind;
        const char* expected = kind == "success" ? e.on_success
                               : kind == "error" ? e.on_error
                                                 : e.on_other;
        if (e.gated && !flag) expected = "-";  // refused: nothing written, S_OK
        EXPECT_EQ(Seen(outcome), expected) << e.method << " " << kind << " flag " << flag;
        EXPECT_EQ(logged, e.logs && kind == "error" && (flag || !e.gated) ? 1 : 0) << e.method;
      }
    }
  }
  EXPECT_EQ(orvala_methods, 31);
}

TEST(FrameTest, AnEscapingErrorCarriesTheInterfaceErrorInformation) {
  const MethodDef& method = *MethodByName("GetSession");
  std::vector<Variant> args(1);
  Call call(method, args);
  std::atomic<bool> flag{false};
  CallOutcome outcome = RunFramed(method.frame, call, flag,
                                  [](Call&) { throw Error("went wrong", 12); }, {});
  EXPECT_EQ(outcome.status, E_UNEXPECTED);
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->iid.ToString(), "{147DD1FA-4A92-4421-8B82-CE9027963033}");
  EXPECT_EQ(outcome.error->source, "OrvalaAppServer.Orvala");
  EXPECT_EQ(outcome.error->description, "went wrong");
  EXPECT_EQ(outcome.error->help_context, 12);
  EXPECT_EQ(outcome.error->help_file, "");

  // A failed remote call keeps its own failure code.
  outcome = RunFramed(method.frame, call, flag,
                      [](Call&) { throw Error::FromStatus(E_ACCESSDENIED, "denied"); }, {});
  EXPECT_EQ(outcome.status, E_ACCESSDENIED);
}

// A method reaches its body only through its row: a row without one would
// answer E_NOTIMPL, and one whose accounting routine is missing would fail
// every call.
TEST(TypeLibraryTest, EveryCallableEntryHasABodyAndARule) {
  int callable = 0;
  for (const MethodDef& m : Methods()) {
    const bool reached = m.kind == InterfaceKind::AppServer || m.kind == InterfaceKind::Orvala;
    EXPECT_EQ(m.body != nullptr, reached) << m.name;
    if (!reached) continue;
    ++callable;
    if (m.body == &MemberBody<&TOrvala::RunAccountingService>) {
      EXPECT_TRUE(AccountingServices::Answers(m.name)) << m.name;
    }
    if (m.kind == InterfaceKind::AppServer) {
      // The provider operations have no gate, no preset and catch nothing.
      EXPECT_FALSE(m.frame.gated) << m.name;
      EXPECT_EQ(m.frame.preset, Preset::None) << m.name;
      EXPECT_EQ(m.frame.catches, Catches::Nothing) << m.name;
    }
  }
  EXPECT_EQ(callable, 38);
  int gated = 0;
  for (const MethodDef& m : Methods()) gated += m.frame.gated;
  EXPECT_EQ(gated, 13);
}

TEST(TypeLibraryTest, SlotsAndDispatchIdentifiers) {
  EXPECT_EQ(Methods().size(), 45u);
  // Slots 19 to 31 of the interface's own methods carry these identifiers.
  const int32_t expected[] = {20, 19, 21, 22, 23, 25, 26, 31, 32, 24, 27, 28, 34};
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(MethodBySlot(14 + 18 + i)->dispid, expected[i]) << i;
  }
  for (int32_t unused : {29, 30, 33, 0, 35}) EXPECT_EQ(MethodByDispid(unused), nullptr);
  EXPECT_EQ(MethodBySlot(0), nullptr);  // IUnknown is the transport's
  EXPECT_EQ(MethodByName("ISLOCKED")->dispid, 18);
  EXPECT_EQ(MethodBySlot(44)->name, std::string("updateIVATERProgressivo"));
  EXPECT_EQ(*ArgIndexByName(*MethodByName("UpdateHeader"), "cambio"), 21);
  EXPECT_NE(DescribeTypeLibrary().find("GetSession(out VARIANT SessionNumber, out retval HRESULT Result)"),
            std::string::npos);
}

TEST(ArgumentsTest, CountAndTypesAreChecked) {
  const MethodDef& can_do = *MethodByName("CanDo");  // (in I4, in BSTR)
  struct Case {
    std::vector<Variant> args;
    HResult status;
  };
  const Case cases[] = {
      {{Variant::I4(1), Variant::BStr(u"F")}, S_OK},
      {{Variant::I2(1), Variant()}, S_OK},            // widened; Empty is an empty text
      {{Variant::R8(2.0), Variant::BStr(u"F")}, S_OK},
      {{Variant::R8(2.5), Variant::BStr(u"F")}, DISP_E_TYPEMISMATCH},
      {{Variant::BStr(u"1"), Variant::BStr(u"F")}, DISP_E_TYPEMISMATCH},
      {{Variant::I4(1), Variant::I4(2)}, DISP_E_TYPEMISMATCH},
      {{Variant::I4(1)}, DISP_E_BADPARAMCOUNT},
      {{Variant::I4(1), Variant::BStr(u"F"), Variant()}, DISP_E_BADPARAMCOUNT},
  };
  for (const Case& c : cases) {
    std::vector<Variant> args = c.args;
    EXPECT_EQ(PrepareArguments(can_do, args), c.status);
  }
  std::vector<Variant> args = {Variant(), Variant::I4(5)};  // an out argument is emptied
  ASSERT_EQ(PrepareArguments(*MethodByName("GetSession"), args), DISP_E_BADPARAMCOUNT);
  args = {Variant::I4(5)};
  ASSERT_EQ(PrepareArguments(*MethodByName("GetSession"), args), S_OK);
  EXPECT_TRUE(args[0].is_empty());
}

}  // namespace
}  // namespace orvala::server
