// README.md's examples, run as a reader would run them: every fenced block
// marked `orvala-cli` goes through orvala-cli --inproc against a fresh demo
// database, and each call must succeed and print what the block says
// ("#= {...}" the whole line, "#> {...}" the keys it names). When README and
// the program drift apart, this test says where.
#include <fstream>
#include <optional>

#include "client/cli_test_harness.h"
#include "tests/database_fixture.h"

namespace orvala::client {
namespace {

using testing::CliRun;
using testing::CliTest;

struct ExampleCall {
  std::string line;
  std::optional<Json> whole;  // "#=": what the call prints
  std::optional<Json> part;   // "#>": keys of what it prints
};

struct ExampleBlock {
  int first_line = 0;  // in README.md
  std::string script;
  std::vector<ExampleCall> calls;
};

std::vector<ExampleBlock> ExampleBlocks(const std::filesystem::path& readme) {
  std::ifstream in(readme);
  std::vector<ExampleBlock> blocks;
  bool inside = false;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!inside) {
      if (line == "```orvala-cli") {
        inside = true;
        blocks.push_back({number + 1, "", {}});
      }
      continue;
    }
    if (line.starts_with("```")) {
      inside = false;
      continue;
    }
    ExampleBlock& block = blocks.back();
    block.script += line + "\n";
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    const std::string_view text = std::string_view(line).substr(start);
    if (text.starts_with("#=") || text.starts_with("#>")) {
      if (block.calls.empty()) {
        ADD_FAILURE() << "README.md:" << number << ": an expected output before any call";
        continue;
      }
      const Json expected = Json::parse(text.substr(2));
      (text[1] == '=' ? block.calls.back().whole : block.calls.back().part) = expected;
    } else if (!text.starts_with("#")) {
      block.calls.push_back({line, std::nullopt, std::nullopt});
    }
  }
  EXPECT_FALSE(inside) << "README.md: an orvala-cli block is not closed";
  return blocks;
}

// Every key of `expected` is in `actual` with a value that holds it in turn;
// arrays hold each other element by element; other values are equal.
bool Holds(const Json& actual, const Json& expected) {
  if (expected.is_object()) {
    if (!actual.is_object()) return false;
    for (const auto& [key, value] : expected.items()) {
      if (!actual.contains(key) || !Holds(actual.at(key), value)) return false;
    }
    return true;
  }
  if (expected.is_array()) {
    if (!actual.is_array() || actual.size() != expected.size()) return false;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (!Holds(actual[i], expected[i])) return false;
    }
    return true;
  }
  return actual == expected;
}

class CliReadmeTest : public CliTest {};

TEST_F(CliReadmeTest, EveryExampleRunsAsShown) {
  const std::vector<ExampleBlock> blocks =
      ExampleBlocks(orvala::testing::SourceDir() / "README.md");
  ASSERT_GE(blocks.size(), 4u) << "README.md has lost its orvala-cli examples";
  for (size_t b = 0; b < blocks.size(); ++b) {
    const ExampleBlock& block = blocks[b];
    SCOPED_TRACE("the orvala-cli block at README.md:" + std::to_string(block.first_line));
    const std::filesystem::path database =
        orvala::testing::FreshDatabase(dir_, true, "readme-" + std::to_string(b) + ".fdb");
    registry::WriteDatabaseLocation(registry_, database.string());

    const CliRun run = Run(block.script);
    EXPECT_EQ(run.exit_status, 0) << run.errors;
    ASSERT_EQ(run.calls.size(), block.calls.size()) << run.errors;
    for (size_t k = 0; k < block.calls.size(); ++k) {
      const ExampleCall& call = block.calls[k];
      const Json& printed = run.calls[k];
      SCOPED_TRACE(call.line);
      EXPECT_EQ(printed["status"], "0x00000000") << printed.dump();
      EXPECT_FALSE(printed.contains("error")) << printed.dump();
      if (call.whole) {
        EXPECT_EQ(printed, *call.whole);
      }
      if (call.part) {
        EXPECT_TRUE(Holds(printed, *call.part)) << printed.dump();
      }
    }
  }
}

}  // namespace
}  // namespace orvala::client
