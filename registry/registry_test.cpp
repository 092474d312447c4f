#include "registry/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/error.h"
#include "tests/testing.h"

namespace orvala::registry {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& error) {
    return error.message();
  }
  return "(no error)";
}

class RegistryStore : public ::testing::Test {
 protected:
  RegistryKey Create(std::string_view path, Root root = Root::kLocalMachine) {
    std::optional<RegistryKey> key = registry_.CreateKey(root, path);
    if (!key) throw std::runtime_error("cannot create " + std::string(path));
    return *key;
  }

  testing::TempDir dir_;
  Registry registry_{dir_ / "registry"};
};

TEST_F(RegistryStore, ValuesOfEveryTypeComeBackFromTheFile) {
  std::string odd;
  for (int b = 255; b >= 0; --b) odd += static_cast<char>(b);
  const std::pair<std::string, Value> values[] = {
      {"", Value::Text("Orvala Object")},
      {"text with zeros", Value::Text(std::string("a\0b\0", 4))},
      {"odd text", Value::Text(odd)},
      {"expand", Value::ExpandText("%TEMP%\\x;$HOME/x")},
      {"empty", Value::Text("")},
      {"dword", Value::Dword(0xdeadbeef)},
      {"binary", Value::Binary(odd)},
      {odd, Value::Binary("")},
  };
  const RegistryKey key = Create("Software\\Orvala");
  for (const auto& [name, value] : values) key.SetValue(name, value);

  const Registry reopened(registry_.directory());
  const std::optional<RegistryKey> read = reopened.OpenKey(Root::kLocalMachine, "Software\\Orvala");
  ASSERT_TRUE(read);
  for (const auto& [name, value] : values) EXPECT_EQ(read->GetValue(name), value) << name;
  EXPECT_EQ(read->GetValue("dword")->dword(), 0xdeadbeefu);
  EXPECT_EQ(read->Values().size(), std::size(values));
}

TEST_F(RegistryStore, SetValueReplacesTheValueAndItsType) {
  const RegistryKey key = Create("Software\\Orvala");
  key.SetValue("v", Value::Dword(1));
  key.SetValue("v", Value::Text("one"));
  EXPECT_EQ(key.GetValue("v"), Value::Text("one"));
  EXPECT_EQ(key.Values().size(), 1u);
}

TEST_F(RegistryStore, NamesIgnoreLetterCaseAndKeepTheirFirstSpelling) {
  Create("Software\\Orvala").SetValue("DbPathValue", Value::Text("first"));
  const RegistryKey key = Create("\\SOFTWARE\\orvala");
  key.SetValue("DBPATHVALUE", Value::Text("second"));

  EXPECT_EQ(key.GetValue("dbpathvalue"), Value::Text("second"));
  ASSERT_EQ(key.Values().size(), 1u);
  EXPECT_EQ(key.Values()[0].name, "DbPathValue");
  EXPECT_THAT(registry_.OpenKey(Root::kLocalMachine, "")->SubkeyNames(), ElementsAre("Software"));
  EXPECT_THAT(registry_.OpenKey(Root::kLocalMachine, "software")->SubkeyNames(),
              ElementsAre("Orvala"));
  // Only ASCII letters fold: these are two keys.
  Create("Città");
  Create("CITTÀ");
  EXPECT_EQ(registry_.OpenKey(Root::kLocalMachine, "")->SubkeyNames().size(), 3u);
}

TEST_F(RegistryStore, CreatingAKeyCreatesItsParents) {
  const std::string clsid = "CLSID\\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}";
  Create(clsid + "\\LocalServer32", Root::kClassesRoot);
  Create(clsid + "\\ProgID", Root::kClassesRoot);

  ASSERT_TRUE(registry_.OpenKey(Root::kClassesRoot, clsid));
  EXPECT_THAT(registry_.OpenKey(Root::kClassesRoot, clsid)->SubkeyNames(),
              ElementsAre("LocalServer32", "ProgID"));
  EXPECT_FALSE(registry_.OpenKey(Root::kClassesRoot, clsid + "\\Version"));
  // Each root is a hive of its own.
  EXPECT_FALSE(registry_.OpenKey(Root::kLocalMachine, "CLSID"));
}

TEST_F(RegistryStore, DeletesValuesAndLeafKeys) {
  const RegistryKey key = Create("CLSID\\{X}");
  key.SetValue("Sockets", Value::Text("1"));
  Create("CLSID\\{X}\\TypeLib");

  EXPECT_TRUE(key.DeleteValue("SOCKETS"));
  EXPECT_FALSE(key.DeleteValue("Sockets"));
  EXPECT_FALSE(key.GetValue("Sockets"));

  EXPECT_THAT(ErrorOf([&] { registry_.DeleteKey(Root::kLocalMachine, "CLSID\\{X}"); }),
              HasSubstr("has subkeys"));
  EXPECT_TRUE(registry_.OpenKey(Root::kLocalMachine, "CLSID\\{X}\\TypeLib"));
  EXPECT_TRUE(registry_.DeleteKey(Root::kLocalMachine, "clsid\\{x}\\typelib"));
  EXPECT_TRUE(registry_.DeleteKey(Root::kLocalMachine, "CLSID\\{X}"));
  EXPECT_FALSE(registry_.DeleteKey(Root::kLocalMachine, "CLSID\\{X}"));
  EXPECT_FALSE(registry_.DeleteKey(Root::kLocalMachine, "No\\Such\\Key"));
  EXPECT_TRUE(registry_.OpenKey(Root::kLocalMachine, "CLSID"));
  EXPECT_THAT(ErrorOf([&] { registry_.DeleteKey(Root::kLocalMachine, "\\"); }),
              HasSubstr("cannot be deleted"));
}

TEST_F(RegistryStore, AKeyDeletedByAnotherWriterTakesNoMoreValues) {
  const RegistryKey key = Create("Software\\Orvala");
  key.SetValue("kept", Value::Text("x"));
  registry_.DeleteKey(Root::kLocalMachine, "Software\\Orvala");

  EXPECT_FALSE(key.GetValue("kept"));
  EXPECT_TRUE(key.Values().empty());
  EXPECT_THAT(ErrorOf([&] { key.SetValue("v", Value::Text("x")); }),
              HasSubstr("'Software\\Orvala' has been deleted"));
  EXPECT_FALSE(registry_.OpenKey(Root::kLocalMachine, "Software\\Orvala"));
}

TEST_F(RegistryStore, RefusesPathsThatNameNoKey) {
  for (const std::string& path : {std::string("Software\\\\Orvala"), std::string("Software\\"),
                                  std::string("\\\\"), std::string(256, 'k')}) {
    EXPECT_THAT(ErrorOf([&] { registry_.CreateKey(Root::kLocalMachine, path); }),
                HasSubstr("Invalid registry key"))
        << path;
    EXPECT_THAT(ErrorOf([&] { registry_.OpenKey(Root::kLocalMachine, path); }),
                HasSubstr("Invalid registry key"))
        << path;
  }
  EXPECT_FALSE(std::filesystem::exists(registry_.File(Root::kLocalMachine).path()));
}

TEST_F(RegistryStore, ADamagedHiveIsReportedAndNeverOverwritten) {
  Create("Software\\Orvala").SetValue("v", Value::Text("x"));
  Create("CLSID", Root::kClassesRoot);
  const std::filesystem::path file = registry_.File(Root::kLocalMachine).path();
  const std::string damaged = ReadFile(file) + "key \"unterminated\n";
  WriteFile(file, damaged);

  const std::function<void()> accesses[] = {
      [&] { registry_.OpenKey(Root::kLocalMachine, "Software"); },
      [&] { registry_.CreateKey(Root::kLocalMachine, "Software\\Other"); },
      [&] { registry_.DeleteKey(Root::kLocalMachine, "Software\\Orvala"); },
      [&] { Registry(registry_.directory()).CreateKey(Root::kLocalMachine, "New"); },
  };
  for (const auto& access : accesses) {
    const std::string error = ErrorOf(access);
    EXPECT_THAT(error, HasSubstr(file.string()));
    EXPECT_THAT(error, HasSubstr("line 5: unterminated quoted string"));
  }
  EXPECT_EQ(ReadFile(file), damaged);
  // The other root stays usable.
  EXPECT_TRUE(registry_.OpenKey(Root::kClassesRoot, "CLSID"));
}

TEST_F(RegistryStore, AFailedWriteKeepsTheStoredValue) {
  const RegistryKey key = Create("Software\\Orvala");
  key.SetValue("v", Value::Text("old"));
  // Where the next hive is written first: a directory cannot be opened as a
  // file, which fails the write as a full disk would.
  const std::filesystem::path file = registry_.File(Root::kLocalMachine).path();
  std::filesystem::create_directory(file.string() + ".tmp");

  EXPECT_THAT(ErrorOf([&] { key.SetValue("v", Value::Text("new")); }),
              HasSubstr("Cannot write registry hive '" + file.string() + "'"));
  EXPECT_EQ(key.GetValue("v"), Value::Text("old"));
  EXPECT_FALSE(registry_.CreateKey(Root::kLocalMachine, "Software\\Other"));
  // An existing key needs no write to be opened.
  EXPECT_TRUE(registry_.CreateKey(Root::kLocalMachine, "Software\\Orvala"));
}

TEST_F(RegistryStore, ARegistryThatCannotBeCreatedReadsEmpty) {
  WriteFile(registry_.directory(), "not a directory");
  EXPECT_FALSE(registry_.CreateKey(Root::kLocalMachine, "Software\\Orvala"));
  EXPECT_FALSE(registry_.OpenKey(Root::kLocalMachine, "Software\\Orvala"));
  EXPECT_THAT(ErrorOf([&] { registry_.DeleteKey(Root::kLocalMachine, "Software"); }),
              HasSubstr("Cannot write registry hive"));
}

TEST_F(RegistryStore, ConcurrentWritersKeepEachOthersChanges) {
  constexpr int kThreads = 4;
  constexpr int kKeysEach = 25;
  std::atomic<int> failures = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &failures] {
      const Registry registry(registry_.directory());
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string name = "T" + std::to_string(t) + "K" + std::to_string(i);
        try {
          registry.CreateKey(Root::kClassesRoot, "Shared\\" + name)
              .value()
              .SetValue("n", Value::Dword(static_cast<uint32_t>(i)));
          registry.CreateKey(Root::kClassesRoot, "Shared")
              .value()
              .SetValue(name, Value::Text(name));
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(failures, 0);

  const std::optional<RegistryKey> shared = registry_.OpenKey(Root::kClassesRoot, "Shared");
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->SubkeyNames().size(), size_t{kThreads * kKeysEach});
  EXPECT_EQ(shared->Values().size(), size_t{kThreads * kKeysEach});
}

TEST_F(RegistryStore, ConcurrentProcessesKeepEachOthersChanges) {
  constexpr int kProcesses = 3;
  constexpr int kKeysEach = 20;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int status = 0;
      try {
        for (int i = 0; i < kKeysEach; ++i) {
          const std::string name = "P" + std::to_string(p) + "V" + std::to_string(i);
          registry_.CreateKey(Root::kLocalMachine, "Software\\Orvala")
              .value()
              .SetValue(name, Value::Text(name));
        }
      } catch (...) {
        status = 1;
      }
      _exit(status);
    }
    children.push_back(pid);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(registry_.OpenKey(Root::kLocalMachine, "Software\\Orvala")->Values().size(),
            size_t{kProcesses * kKeysEach});
}

TEST(RegistryDirectory, ComesFromTheEnvironment) {
  const char* const variables[] = {"ORVALA_REGISTRY_DIR", "XDG_CONFIG_HOME", "HOME"};
  std::vector<std::optional<std::string>> saved;
  for (const char* variable : variables) {
    const char* value = std::getenv(variable);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
  }
  const struct {
    const char* registry_dir;
    const char* xdg_config_home;
    const char* home;
    std::string expected;
  } cases[] = {
      {"/srv/reg", "/xdg", "/home/u", "/srv/reg"},
      {"", "/xdg", "/home/u", "/xdg/orvala/registry"},
      {nullptr, "/xdg", "/home/u", "/xdg/orvala/registry"},
      {nullptr, "relative", "/home/u", "/home/u/.config/orvala/registry"},
      {nullptr, nullptr, "/home/u", "/home/u/.config/orvala/registry"},
  };
  for (const auto& c : cases) {
    const char* values[] = {c.registry_dir, c.xdg_config_home, c.home};
    for (size_t i = 0; i < std::size(variables); ++i) {
      if (values[i]) {
        setenv(variables[i], values[i], 1);
      } else {
        unsetenv(variables[i]);
      }
    }
    EXPECT_EQ(Registry::DefaultDirectory(), c.expected);
  }
  for (size_t i = 0; i < std::size(variables); ++i) {
    if (saved[i]) {
      setenv(variables[i], saved[i]->c_str(), 1);
    } else {
      unsetenv(variables[i]);
    }
  }
}

}  // namespace
}  // namespace orvala::registry
