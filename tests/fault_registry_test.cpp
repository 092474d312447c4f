// The registry's hive files under faults, through the server program that
// stores the database location: a damaged or unreadable hive and a disk
// that fills while the location is written. Nothing stored is lost.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "registry/database_location.h"
#include "registry/registry.h"
#include "tests/fault_server.h"
#include "tests/testing.h"

namespace orvala::testing {
namespace {

using registry::Registry;
using registry::Root;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct ProgramRun {
  int status;
  std::string output;
};

class HiveFaultTest : public ::testing::Test {
 protected:
  HiveFaultTest() : registry_dir_(dir_ / "registry") {}

  // Stores the old location and a key that has nothing to do with it.
  void Populate() {
    const Registry registry(registry_dir_);
    registry::WriteDatabaseLocation(registry, "/srv/books/old.fdb");
    registry.CreateKey(Root::kLocalMachine, "Software\\Other")
        ->SetValue("Keep", registry::Value::Text("me"));
  }
  void ExpectNothingLost() {
    const Registry registry(registry_dir_);
    EXPECT_EQ(registry::ReadDatabaseLocation(registry), "/srv/books/old.fdb");
    const auto other = registry.OpenKey(Root::kLocalMachine, "Software\\Other");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->GetValue("Keep"), registry::Value::Text("me"));
  }
  std::filesystem::path Hive() const { return registry_dir_ / "HKEY_LOCAL_MACHINE.hive"; }

  // orvala-server with the location commands, through `shell_prefix` (a
  // resource limit, say).
  ProgramRun Server(const std::string& args, const std::string& shell_prefix = "") {
    const std::filesystem::path out = dir_ / "out.txt";
    const std::string command = shell_prefix + "ORVALA_REGISTRY_DIR='" + registry_dir_.string() +
                                "' '" + ServerProgramPath() + "' " + args + " > '" +
                                out.string() + "' 2>&1";
    const int status = std::system(("sh -c \"" + command + "\"").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out)};
  }

  TempDir dir_;
  std::filesystem::path registry_dir_;
};

struct Damage {
  const char* name;
  void (*apply)(const std::filesystem::path& hive);
  const char* reported;  // part of the message that names the fault
};

class DamagedHiveTest : public HiveFaultTest, public ::testing::WithParamInterface<Damage> {};

// A hive that cannot be read is reported, never replaced: a write that
// would rebuild it from nothing is refused, so repairing the file brings
// back every key.
TEST_P(DamagedHiveTest, IsReportedAndNeverOverwritten) {
  Populate();
  const std::string good = ReadFile(Hive());
  const std::filesystem::path saved = dir_ / "saved.hive";
  std::filesystem::copy_file(Hive(), saved);
  GetParam().apply(Hive());
  const std::string damaged = std::filesystem::is_regular_file(Hive()) ? ReadFile(Hive()) : "";

  for (const char* args : {"--show-location", "--set-location /srv/books/new.fdb"}) {
    const ProgramRun run = Server(args);
    EXPECT_NE(run.status, 0) << args;
    EXPECT_NE(run.output.find(GetParam().reported), std::string::npos) << args << ": " << run.output;
    EXPECT_NE(run.output.find("HKEY_LOCAL_MACHINE.hive"), std::string::npos) << run.output;
  }
  if (std::filesystem::is_regular_file(Hive())) {
    EXPECT_EQ(ReadFile(Hive()), damaged);
  }

  std::filesystem::remove_all(Hive());
  std::filesystem::copy_file(saved, Hive());
  ExpectNothingLost();
  EXPECT_EQ(ReadFile(Hive()), good);
}

INSTANTIATE_TEST_SUITE_P(
    Fault, DamagedHiveTest,
    ::testing::Values(
        Damage{"Truncated",
               [](const std::filesystem::path& hive) {
                 const std::string text = ReadFile(hive);
                 std::ofstream(hive, std::ios::binary | std::ios::trunc)
                     << text.substr(0, text.size() - 7);
               },
               "line "},
        Damage{"Garbage",
               [](const std::filesystem::path& hive) {
                 std::ofstream(hive, std::ios::binary | std::ios::app) << "\x01\xff not a record\n";
               },
               "line "},
        // A folder where the file should be cannot be read even by root.
        Damage{"Unreadable",
               [](const std::filesystem::path& hive) {
                 std::filesystem::remove(hive);
                 std::filesystem::create_directory(hive);
               },
               "Cannot read registry hive"}),
    [](const auto& test) { return std::string(test.param.name); });

// The disk fills while the new location is written: the write fails with
// a clear message and the old hive stays whole.
class DiskFullTest : public HiveFaultTest {
 protected:
  ~DiskFullTest() override {
    if (mounted_) umount2(registry_dir_.c_str(), MNT_DETACH);
  }
  bool mounted_ = false;
};

TEST_F(DiskFullTest, AFullFileSystemKeepsTheOldLocation) {
  std::filesystem::create_directories(registry_dir_);
  if (mount("tmpfs", registry_dir_.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                 << "); the file size limit case covers a failed write";
  }
  mounted_ = true;
  Populate();
  const std::string before = ReadFile(Hive());
  {
    // Fill every free block.
    std::ofstream filler(registry_dir_ / "filler", std::ios::binary);
    const std::string block(1024, 'x');
    while (filler.write(block.data(), block.size())) {
    }
  }
  const std::string long_location = "/srv/books/" + std::string(3000, 'n') + ".fdb";
  const ProgramRun run = Server("--set-location " + long_location);
  EXPECT_NE(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("orvala-server:"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(Hive()), before);
  ExpectNothingLost();

  std::filesystem::remove(registry_dir_ / "filler");
  EXPECT_EQ(Server("--set-location " + long_location).status, 0);
  EXPECT_EQ(registry::ReadDatabaseLocation(Registry(registry_dir_)), long_location);
}

TEST_F(DiskFullTest, AFileSizeLimitKeepsTheOldLocation) {
  Populate();
  const std::string before = ReadFile(Hive());
  ASSERT_LT(before.size(), 1024u);
  const std::string long_location = "/srv/books/" + std::string(3000, 'n') + ".fdb";
  // Two blocks of 512 bytes; with SIGXFSZ ignored a longer write fails
  // with EFBIG instead of ending the process.
  const ProgramRun run = Server("--set-location " + long_location, "trap '' XFSZ; ulimit -f 2; ");
  EXPECT_NE(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("orvala-server:"), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(Hive()), before);
  ExpectNothingLost();
}

}  // namespace
}  // namespace orvala::testing
