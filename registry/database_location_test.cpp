#include "registry/database_location.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "common/error.h"
#include "tests/testing.h"

namespace orvala::registry {
namespace {

using ::testing::HasSubstr;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

class RegistryDatabaseLocation : public ::testing::Test {
 protected:
  RegistryKey LocationKey() {
    return *registry_.CreateKey(Root::kLocalMachine, "Software\\Orvala");
  }

  std::string ReadOrError() {
    try {
      return ReadDatabaseLocation(registry_);
    } catch (const Error& error) {
      return std::string("error: ") + error.message();
    }
  }

  testing::TempDir dir_;
  Registry registry_{dir_ / "registry"};
};

TEST_F(RegistryDatabaseLocation, ReadsTheStoredText) {
  const struct {
    const char* what;
    std::optional<Value> stored;  // nullopt: the key exists without the value
    std::string expected;
  } cases[] = {
      {"no value", std::nullopt, ""},
      {"empty text", Value::Text(""), ""},
      {"plain text", Value::Text("/srv/orvala/demo.fdb"), "/srv/orvala/demo.fdb"},
      {"blanks kept", Value::Text(" host:/db.fdb "), " host:/db.fdb "},
      {"expandable, not expanded", Value::ExpandText("$HOME/x"), "$HOME/x"},
      {"expandable, not expanded", Value::ExpandText("%TEMP%\\x"), "%TEMP%\\x"},
      {"cut at the first zero", Value::Text(std::string("/db.fdb\0junk\0", 13)), "/db.fdb"},
      {"zero first", Value::Text(std::string("\0/db.fdb", 8)), ""},
      {"UTF-8 as stored", Value::Text("/dati/società.fdb"), "/dati/società.fdb"},
      {"integer", Value::Dword(5), "error: Invalid data type for 'DBPATHVALUE'"},
      {"binary", Value::Binary("/db.fdb"), "error: Invalid data type for 'DBPATHVALUE'"},
      // An empty value reads as no location before its type is looked at.
      {"empty binary", Value::Binary(""), ""},
  };
  for (const auto& c : cases) {
    const RegistryKey key = LocationKey();
    key.DeleteValue("DBPATHVALUE");
    if (c.stored) key.SetValue("dbpathvalue", *c.stored);
    EXPECT_EQ(ReadOrError(), c.expected) << c.what;
  }
}

TEST_F(RegistryDatabaseLocation, ReadingCreatesTheMissingKey) {
  EXPECT_EQ(ReadDatabaseLocation(registry_), "");
  EXPECT_TRUE(registry_.OpenKey(Root::kLocalMachine, "\\Software\\Orvala"));
}

TEST_F(RegistryDatabaseLocation, WritesPlainText) {
  WriteDatabaseLocation(registry_, "/srv/first.fdb");
  WriteDatabaseLocation(registry_, "%TEMP%\\second.fdb");

  EXPECT_EQ(ReadDatabaseLocation(registry_), "%TEMP%\\second.fdb");
  EXPECT_EQ(LocationKey().GetValue("DBPATHVALUE"), Value::Text("%TEMP%\\second.fdb"));
  // Another server process with the same directory sees it.
  EXPECT_EQ(ReadDatabaseLocation(Registry(registry_.directory())), "%TEMP%\\second.fdb");
}

TEST_F(RegistryDatabaseLocation, ARegistryThatCannotBeWrittenIsSilentlyEmpty) {
  // Tests run as root, whom permissions do not stop: a regular file where
  // the directory should be is what no one can write into.
  std::ofstream(registry_.directory()) << "not a directory";

  EXPECT_EQ(ReadDatabaseLocation(registry_), "");
  EXPECT_NO_THROW(WriteDatabaseLocation(registry_, "/srv/demo.fdb"));
  EXPECT_EQ(ReadFile(registry_.directory()), "not a directory");
}

TEST_F(RegistryDatabaseLocation, AFailedWriteKeepsTheOldLocation) {
  WriteDatabaseLocation(registry_, "/srv/old.fdb");
  std::filesystem::create_directory(registry_.File(Root::kLocalMachine).path().string() + ".tmp");

  try {
    WriteDatabaseLocation(registry_, "/srv/new.fdb");
    ADD_FAILURE() << "the write was reported as done";
  } catch (const Error& error) {
    EXPECT_STREQ(error.message(), "Failed to set data for 'DBPATHVALUE'");
  }
  EXPECT_EQ(ReadDatabaseLocation(registry_), "/srv/old.fdb");
}

TEST_F(RegistryDatabaseLocation, ADamagedHiveIsReportedByNameAndKept) {
  WriteDatabaseLocation(registry_, "/srv/demo.fdb");
  const std::filesystem::path file = registry_.File(Root::kLocalMachine).path();
  const std::string damaged = ReadFile(file) + "garbage\n";
  std::ofstream(file, std::ios::binary) << damaged;

  EXPECT_THAT(ReadOrError(), HasSubstr(file.string()));
  try {
    WriteDatabaseLocation(registry_, "/srv/other.fdb");
    ADD_FAILURE() << "a damaged hive was written";
  } catch (const Error& error) {
    EXPECT_THAT(error.message(), HasSubstr(file.string()));
  }
  EXPECT_EQ(ReadFile(file), damaged);
}

}  // namespace
}  // namespace orvala::registry
