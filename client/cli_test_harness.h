// orvala-cli as a real process with --inproc, over a fresh database whose
// location sits in a registry folder of the test's own.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json/variant_json.h"
#include "driver/query.h"
#include "registry/database_location.h"
#include "server/server_fixture.h"

namespace orvala::client {
using json::Json;
}  // namespace orvala::client

namespace orvala::client::testing {

struct CliRun {
  int exit_status = -1;
  std::vector<Json> calls;  // one per line printed
  std::string errors;
};

class CliTest : public server::testing::ServerTest {
 protected:
  CliTest() { registry::WriteDatabaseLocation(registry_, database_); }

  CliRun Run(const std::string& script) {
    const std::filesystem::path input = dir_ / "script.txt";
    const std::filesystem::path output = dir_ / "out.txt";
    const std::filesystem::path errors = dir_ / "err.txt";
    std::ofstream(input) << script;
    const std::string command = "ORVALA_REGISTRY_DIR='" + (dir_ / "registry").string() + "' '" +
                                ORVALA_CLI + "' --inproc '" + input.string() + "' > '" +
                                output.string() + "' 2> '" + errors.string() + "'";
    const int status = std::system(command.c_str());
    CliRun run;
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream out(output);
    for (std::string line; std::getline(out, line);) run.calls.push_back(Json::parse(line));
    std::stringstream err;
    err << std::ifstream(errors).rdbuf();
    run.errors = err.str();
    return run;
  }

  // Every row a SELECT answers, read outside the server.
  std::vector<std::vector<Value>> Rows(const std::string& sql) {
    driver::Query q("rows");
    q.SetConnection(&admin_);
    q.SetSql({sql});
    q.Open();
    std::vector<std::vector<Value>> rows;
    while (q.Next()) rows.push_back(q.row());
    return rows;
  }
};

inline Json I4(int32_t n) {
  return Json::parse(R"({"vt":"I4","value":)" + std::to_string(n) + "}");
}

}  // namespace orvala::client::testing
