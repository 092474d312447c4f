// The call lines of orvala-cli, as a table of lines and what they read as.
#include "client/cli_parser.h"

#include <gtest/gtest.h>

#include "common/datetime.h"
#include "common/error.h"
#include "packets/packet_variant.h"

namespace orvala::client {
namespace {

Variant Text(const char16_t* s) { return Variant::BStr(s); }
Variant DateOf(const char* iso) { return Variant::Date(ToAutomationDate(*ParseIso(iso))); }

TEST(CliParserTest, LinesReadAsCallsWithTypedArguments) {
  struct Case {
    const char* line;
    const char* method;
    std::vector<Variant> args;
  };
  const Case cases[] = {
      {"OpenDB", "OpenDB", {}},
      {"  opendb   # and a comment", "OpenDB", {}},
      // Words are typed by the interface; the out argument is a slot.
      {"Login DEMO demo 2024 00001", "Login",
       {Text(u"DEMO"), Text(u"demo"), Variant::I4(2024), Text(u"00001"), Variant()}},
      {"LOGIN \"DE MO\" 'it''s' +7 \"a\\\"b\\\\c\"", "Login",
       {Text(u"DE MO"), Text(u"its"), Variant::I4(7), Text(u"a\"b\\c"), Variant()}},
      {"Login \"\" '' -1 x#y", "Login",
       {Text(u""), Text(u""), Variant::I4(-1), Text(u"x#y"), Variant()}},
      // One JSON array holds all arguments.
      {"Login [\"DEMO\", \"demo\", 2024, \"00001\"]", "Login",
       {Text(u"DEMO"), Text(u"demo"), Variant::I4(2024), Text(u"00001"), Variant()}},
      {"CanDo 1 'MENU PRIMA NOTA'", "CanDo", {Variant::I4(1), Text(u"MENU PRIMA NOTA")}},
      {"UpdateIVAProgressivo D 2024 1 2 3 '22' 100.5 -2e1", "UpdateIVAProgressivo",
       {Text(u"D"), Variant::I4(2024), Variant::I4(1), Variant::I4(2), Variant::I4(3), Text(u"22"),
        Variant::R8(100.5), Variant::R8(-20)}},
      // VARIANT arguments: JSON when they read as JSON, text otherwise.
      {"AddParameter P 42 Prov", "AddParameter", {Text(u"P"), Variant::I4(42), Text(u"Prov")}},
      {"AddParameter P '42' Prov", "AddParameter", {Text(u"P"), Text(u"42"), Text(u"Prov")}},
      {"AddParameter P null Prov", "AddParameter", {Text(u"P"), Variant::Null(), Text(u"Prov")}},
      {"AddParameter P 2.5 Prov", "AddParameter", {Text(u"P"), Variant::R8(2.5), Text(u"Prov")}},
      {"AddParameter P 5000000000 Prov", "AddParameter",
       {Text(u"P"), Variant::I8(5000000000), Text(u"Prov")}},
      {"AddParameter P abc Prov", "AddParameter", {Text(u"P"), Text(u"abc"), Text(u"Prov")}},
      {"AddParameter P {\"date\":\"2024-01-31T10:00:00\"} Prov", "AddParameter",
       {Text(u"P"), DateOf("2024-01-31T10:00:00"), Text(u"Prov")}},
      {"AddParameter P {\"vt\":\"DATE\",\"value\":\"2024-01-31 10:00:00.5\"} Prov", "AddParameter",
       {Text(u"P"), DateOf("2024-01-31T10:00:00.5"), Text(u"Prov")}},
      {"AddParameter P {\"vt\":\"EMPTY\"} Prov", "AddParameter", {Text(u"P"), Variant(), Text(u"Prov")}},
      {"AddParameter P {\"vt\":\"CY\",\"value\":\"-12.34\"} Prov", "AddParameter",
       {Text(u"P"), Variant::Money({-123400}), Text(u"Prov")}},
      {"AddParameter P {\"vt\":\"I2\",\"value\":7} Prov", "AddParameter",
       {Text(u"P"), Variant::I2(7), Text(u"Prov")}},
      {"AddParameter [\"P\", {\"vt\":\"BOOL\",\"value\":true}, \"Prov\"]", "AddParameter",
       {Text(u"P"), Variant::Bool(true), Text(u"Prov")}},
      {"AddParameter P [1,\"a\"] Prov", "AddParameter",
       {Text(u"P"), Variant::Array({Variant::I4(1), Text(u"a")}), Text(u"Prov")}},
      // Provider operations: the name, then anything left out takes its default.
      {"AS_GetRecords SelectEsercizi -1", "AS_GetRecords",
       {Text(u"SelectEsercizi"), Variant::I4(-1), Variant(), Variant::I4(0), Text(u""), Variant(),
        Variant()}},
      {"as_getrecords SelectEsercizi", "AS_GetRecords",
       {Text(u"SelectEsercizi"), Variant::I4(-1), Variant(), Variant::I4(0), Text(u""), Variant(),
        Variant()}},
      {"AS_GetRecords P 0 3 \"\" null", "AS_GetRecords",
       {Text(u"P"), Variant::I4(0), Variant(), Variant::I4(3), Text(u""), Variant::Null(),
        Variant()}},
      {"AS_GetProviderNames", "AS_GetProviderNames", {}},
      {"AS_GetParams P", "AS_GetParams", {Text(u"P"), Variant()}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<ParsedCall> call = ParseCallLine(c.line);
    ASSERT_TRUE(call.has_value());
    EXPECT_STREQ(call->method->name, c.method);
    EXPECT_EQ(call->args, c.args);
    EXPECT_FALSE(call->delta_arg.has_value());
  }
}

TEST(CliParserTest, LinesWithoutACall) {
  for (const char* line : {"", "   ", "\t", "# a comment", "   #OpenDB", "\r"}) {
    EXPECT_FALSE(ParseCallLine(line).has_value()) << line;
  }
}

TEST(CliParserTest, PacketArgumentsTakeJson) {
  // Parameters become a parameter packet, in the order written.
  std::optional<ParsedCall> call =
      ParseCallLine(R"(AS_GetRecords P 5 0 "" {"ZETA":"x","ALFA":7,"D":{"date":"2024-01-31"},"N":null})");
  ASSERT_TRUE(call);
  const packets::ParamPacket params = packets::ParamPacketFromVariant(call->args[5]);
  ASSERT_EQ(params.params.size(), 4u);
  EXPECT_EQ(params.params[0].name, "ZETA");
  EXPECT_EQ(params.params[0].value, Value{std::string("x")});
  EXPECT_EQ(params.params[1].data_type, FieldType::Integer);
  EXPECT_EQ(params.params[1].value, Value{int32_t{7}});
  EXPECT_EQ(params.params[2].data_type, FieldType::Timestamp);
  EXPECT_EQ(params.params[3].data_type, FieldType::String);
  EXPECT_TRUE(IsNull(params.params[3].value));

  // A delta waits for the provider's fields.
  call = ParseCallLine(R"(AS_ApplyUpdates T {"modify":[{"old":{"ID":1},"new":{"V":"b"}}]} 2)");
  ASSERT_TRUE(call);
  ASSERT_EQ(call->delta_arg, 1u);
  EXPECT_EQ(call->delta_json["modify"][0]["new"]["V"], "b");
  EXPECT_EQ(call->args[2], Variant::I4(2));
  // A null delta is a variant, passed as it is.
  call = ParseCallLine("AS_ApplyUpdates T null");
  ASSERT_TRUE(call);
  EXPECT_FALSE(call->delta_arg);
  EXPECT_EQ(call->args[1], Variant::Null());
  EXPECT_EQ(call->args[2], Variant::I4(0));
}

TEST(CliParserTest, BadLinesSayWhatIsWrong) {
  struct Case {
    const char* line;
    const char* message;
  };
  const Case cases[] = {
      {"Frobnicate 1", "unknown method 'Frobnicate'"},
      {"QueryInterface", "unknown method 'QueryInterface'"},
      {"Login DEMO demo", "Login takes 4 arguments (UserName, Password, Anno, ID_Ditta), 2 given"},
      {"OpenDB now", "OpenDB takes no arguments, 1 given"},
      {"AS_GetRecords", "AS_GetRecords takes 6 arguments (ProviderName, Count, Options, "
                        "CommandText, Params, OwnerData), 0 given"},
      {"Login DEMO demo twenty 1", "argument Anno: 'twenty' is not an integer"},
      {"Login DEMO demo 2024.5 1", "argument Anno: '2024.5' is not an integer"},
      {"Login DEMO demo 99999999999 1", "argument Anno: '99999999999' is out of range for I4"},
      {"Login [\"DEMO\", \"demo\", \"2024\", \"1\"]", "argument Anno: expected an integer, got \"2024\""},
      {"Login [\"DEMO\", 5, 2024, \"1\"]", "argument Password: expected text, got 5"},
      {"Login \"DEMO demo 2024 1", "unterminated quote \""},
      {"ExecSQL 'select", "unterminated quote '"},
      {"UpdateIVAProgressivo D 2024 1 2 3 22 cento 1", "argument IMPONIBILE: 'cento' is not a number"},
      {"AddParameter P {\"date\":\"31/01/2024\"} Prov", "argument ParamValue: '31/01/2024' is not a date"},
      {"AddParameter P {\"vt\":\"XX\",\"value\":1} Prov", "argument ParamValue: unknown variant type 'XX'"},
      {"AddParameter P {\"vt\":\"I4\",\"value\":\"1\"} Prov", "argument ParamValue: expected an integer, got \"1\""},
      {"AddParameter P {\"a\":1 Prov", "unclosed JSON value"},
      {"AddParameter P {\"a\":1}x Prov", "unexpected text after a JSON value: x Prov"},
      {"AddParameter P {a:1} Prov", "argument ParamValue: invalid JSON"},
      {"AS_GetRecords P 1 0 \"\" {\"A\":[1]}", "argument Params: parameter A cannot take [1]"},
      {"Login [\"DEMO\", \"demo\", 2024", "unclosed JSON value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    try {
      ParseCallLine(c.line);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.message()).substr(0, std::string(c.message).size()), c.message);
    }
  }
}

}  // namespace
}  // namespace orvala::client
