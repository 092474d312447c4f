#include "registry/hive_format.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

namespace orvala::registry {
namespace {

using ::testing::HasSubstr;

std::string ParseError(std::string_view bytes) {
  std::string error;
  if (ParseHive(bytes, &error)) return "(parsed)";
  return error;
}

Hive ParseOrDie(std::string_view bytes) {
  std::string error;
  std::optional<Hive> hive = ParseHive(bytes, &error);
  EXPECT_TRUE(hive) << error;
  return hive ? std::move(*hive) : Hive();
}

// Every byte value, the zero included, in text, names and binary data.
std::string AllBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

TEST(RegistryHiveFormat, WritesReadableText) {
  Hive hive;
  HiveKey& key = hive.Create({"CLSID", "{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}"});
  key.SetValue("", Value::Text("Orvala Object"));
  key.SetValue("Sockets", Value::Text("1"));
  HiveKey& orvala = hive.Create({"Software", "Orvala"});
  orvala.SetValue("DBPATHVALUE", Value::Text("C:\\db\\Città \"demo\".fdb"));
  orvala.SetValue("Temp", Value::ExpandText("%TEMP%\\x"));
  orvala.SetValue("Count", Value::Dword(42));
  orvala.SetValue("Blob", Value::Binary(std::string("\x00\xff\x10", 3)));

  EXPECT_EQ(SerializeHive(hive),
            "orvala-hive 1\n"
            "key \"CLSID\"\n"
            "key \"CLSID\" \"{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}\"\n"
            "  value \"\" REG_SZ \"Orvala Object\"\n"
            "  value \"Sockets\" REG_SZ \"1\"\n"
            "key \"Software\"\n"
            "key \"Software\" \"Orvala\"\n"
            "  value \"Blob\" REG_BINARY \"00ff10\"\n"
            "  value \"Count\" REG_DWORD 42\n"
            "  value \"DBPATHVALUE\" REG_SZ \"C:\\\\db\\\\Città \\\"demo\\\".fdb\"\n"
            "  value \"Temp\" REG_EXPAND_SZ \"%TEMP%\\\\x\"\n");
}

TEST(RegistryHiveFormat, AnyBytesRoundTrip) {
  const std::string odd = AllBytes() + "\xe2\x82\xac \xc3 \xed\xa0\x80 \xf4\x90\x80\x80";
  Hive hive;
  HiveKey& key = hive.Create({odd.substr(1, 91), odd.substr(93, 160), "x"});
  key.SetValue(odd, Value::Text(odd));
  key.SetValue("expand", Value::ExpandText(std::string("a\0b", 3)));
  key.SetValue("empty", Value::Text(""));
  key.SetValue("binary", Value::Binary(odd));
  key.SetValue("no bytes", Value::Binary(""));
  key.SetValue("zero", Value::Dword(0));
  key.SetValue("max", Value::Dword(0xffffffff));
  hive.root().SetValue("on the root", Value::Dword(7));

  const std::string text = SerializeHive(hive);
  const Hive back = ParseOrDie(text);
  EXPECT_EQ(SerializeHive(back), text);
  const HiveKey* read = back.Find({odd.substr(1, 91), odd.substr(93, 160), "x"});
  ASSERT_NE(read, nullptr);
  ASSERT_NE(read->FindValue(odd), nullptr);
  EXPECT_EQ(*read->FindValue(odd), Value::Text(odd));
  EXPECT_EQ(*read->FindValue("binary"), Value::Binary(odd));
  EXPECT_EQ(*read->FindValue("expand"), Value::ExpandText(std::string("a\0b", 3)));
  EXPECT_EQ(read->FindValue("max")->dword(), 0xffffffffu);
  EXPECT_EQ(back.root().FindValue("on the root")->dword(), 7u);
  // One record per line whatever the data: no raw control bytes written.
  for (char c : text) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c);
}

TEST(RegistryHiveFormat, RandomHivesRoundTrip) {
  std::mt19937 random(20240611);
  const auto random_bytes = [&](size_t max_length) {
    std::string bytes(random() % (max_length + 1), '\0');
    for (char& c : bytes) c = static_cast<char>(random() % 256);
    return bytes;
  };
  for (int round = 0; round < 200; ++round) {
    Hive hive;
    for (int k = 0; k < 5; ++k) {
      KeyPath path;
      for (size_t depth = 1 + random() % 3; depth > 0; --depth) {
        std::string name = random_bytes(12);
        std::erase(name, '\\');
        path.push_back(name.empty() ? "k" : name);
      }
      HiveKey& key = hive.Create(path);
      key.SetValue(random_bytes(8), Value::Text(random_bytes(40)));
      key.SetValue(random_bytes(8), Value::Binary(random_bytes(40)));
      key.SetValue(random_bytes(8), Value::Dword(static_cast<uint32_t>(random())));
    }
    const std::string text = SerializeHive(hive);
    EXPECT_EQ(SerializeHive(ParseOrDie(text)), text);
  }
}

TEST(RegistryHiveFormat, ReadsHandEditedFiles) {
  const Hive hive = ParseOrDie(
      "# edited by hand\r\n"
      "\n"
      "orvala-hive 1\r\n"
      "key \"Software\" \"Orvala\"\r\n"
      "\tvalue \"DBPATHVALUE\" REG_SZ \"/srv/demo.fdb\"   \r\n"
      "# parents come by themselves; a key named again in another case is the same key\n"
      "key \"SOFTWARE\"\n"
      "  value \"A\" REG_BINARY \"0A0b\"\n"
      "key \"software\" \"ORVALA\"\n"
      "  value \"B\" REG_DWORD 0004294967295\n");
  const HiveKey* orvala = hive.Find({"software", "orvala"});
  ASSERT_NE(orvala, nullptr);
  EXPECT_EQ(orvala->name(), "Orvala");
  EXPECT_EQ(*orvala->FindValue("dbpathvalue"), Value::Text("/srv/demo.fdb"));
  EXPECT_EQ(orvala->FindValue("b")->dword(), 4294967295u);
  EXPECT_EQ(*hive.Find({"Software"})->FindValue("a"), Value::Binary("\x0a\x0b"));
  EXPECT_EQ(hive.Find({"Software"})->name(), "Software");
}

TEST(RegistryHiveFormat, EmptyInputIsAnEmptyHive) {
  for (std::string_view text : {"", "\n\n", "# nothing yet\n", "orvala-hive 1\n"}) {
    const Hive hive = ParseOrDie(text);
    EXPECT_TRUE(hive.root().subkeys().empty()) << text;
    EXPECT_TRUE(hive.root().values().empty()) << text;
  }
}

TEST(RegistryHiveFormat, RejectsDamagedFiles) {
  const std::string header = "orvala-hive 1\nkey \"K\"\n";
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"[Software\\Orvala]\n", "line 1: not an Orvala registry hive"},
      {"orvala-hive 2\n", "line 1: not an Orvala registry hive"},
      {"orvala-hive 1 extra\n", "line 1: not an Orvala registry hive"},
      {"orvala-hive 1\nvalue \"a\" REG_SZ \"b\"\n", "line 2: value before the first key"},
      {"orvala-hive 1\nkeys \"a\"\n", "line 2: expected 'key' or 'value'"},
      {"orvala-hive 1\nkey a\n", "line 2: expected a quoted string"},
      {"orvala-hive 1\nkey \"\"\n", "line 2: empty key name"},
      {"orvala-hive 1\nkey \"a\\\\b\"\n", "line 2: backslash in key name"},
      {"orvala-hive 1\nkey \"" + std::string(256, 'k') + "\"\n", "line 2: key name longer"},
      {header + "value \"a\" REG_SZ \"open\n", "line 3: unterminated quoted string"},
      {header + "value \"a\" REG_SZ \"ends in \\", "line 3: unterminated quoted string"},
      {header + "value \"a\" REG_SZ \"tab\tinside\"\n", "line 3: control character"},
      {header + "value \"a\" REG_SZ \"\\n\"\n", "line 3: unknown escape"},
      {header + "value \"a\" REG_SZ \"\\x4\"\n", "line 3: \\x not followed by two hex digits"},
      {header + "value \"a\" REG_SZ \"\\x", "line 3: \\x not followed by two hex digits"},
      {header + "value \"a\" REG_SZ\n", "line 3: expected a quoted string"},
      {header + "value \"a\" REG_MULTI_SZ \"b\"\n", "line 3: unknown value type"},
      {header + "value \"a\" REG_SZ \"b\" \"c\"\n", "line 3: unexpected text after the value"},
      {header + "value \"a\" REG_DWORD\n", "line 3: expected a REG_DWORD number"},
      {header + "value \"a\" REG_DWORD -1\n", "line 3: expected a REG_DWORD number"},
      {header + "value \"a\" REG_DWORD 4294967296\n", "line 3: REG_DWORD number out of range"},
      {header + "value \"a\" REG_DWORD 99999999999999999999999\n",
       "line 3: REG_DWORD number out of range"},
      {header + "value \"a\" REG_DWORD 12x\n", "line 3: expected a REG_DWORD number"},
      {header + "value \"a\" REG_BINARY \"abc\"\n", "line 3: odd number of hex digits"},
      {header + "value \"a\" REG_BINARY \"zz\"\n", "line 3: bad hex digit"},
      {header + "value \"a\" REG_SZ \"1\"\nvalue \"A\" REG_SZ \"2\"\n",
       "line 4: value given twice"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(ParseError(c.text), HasSubstr(c.error)) << c.text;
  }
}

TEST(RegistryHiveFormat, RejectsKeysNestedDeeperThanTheRegistryAllows) {
  std::string deepest = "orvala-hive 1\nkey";
  for (size_t i = 0; i < kMaxKeyDepth; ++i) deepest += " \"k\"";
  EXPECT_EQ(ParseError(deepest + "\n"), "(parsed)");
  EXPECT_THAT(ParseError(deepest + " \"k\"\n"), HasSubstr("line 2: key nested too deep"));
}

// A file cut short by anything but our own writer, or damaged on disk, is
// read or refused, never read past its end (the sanitizer builds watch).
TEST(RegistryHiveFormat, SurvivesTruncationAndDamage) {
  Hive hive;
  HiveKey& key = hive.Create({"CLSID", "{BE3B9670}", "LocalServer32"});
  key.SetValue("", Value::Text(AllBytes()));
  key.SetValue("n", Value::Dword(123456));
  key.SetValue("b", Value::Binary("\x01\x02"));
  const std::string text = SerializeHive(hive);
  for (size_t length = 0; length <= text.size(); ++length) {
    std::string error;
    const std::string prefix = text.substr(0, length);
    if (!ParseHive(prefix, &error)) {
      EXPECT_THAT(error, HasSubstr("line ")) << length;
    }
  }
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    std::string damaged = text;
    for (int flips = 1 + random() % 4; flips > 0; --flips) {
      damaged[random() % damaged.size()] = static_cast<char>(random() % 256);
    }
    std::string error;
    if (!ParseHive(damaged, &error)) {
      EXPECT_FALSE(error.empty());
    }
  }
}

}  // namespace
}  // namespace orvala::registry
