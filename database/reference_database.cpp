#include "database/reference_database.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/error.h"
#include "database/sql_script.h"
#include "driver/administrator.h"
#include "driver/connection.h"

namespace orvala::database {

std::vector<std::filesystem::path> ScriptsFor(const CreateOptions& options) {
  std::vector<std::filesystem::path> scripts = {options.scripts_dir / "schema.sql",
                                                options.scripts_dir / "routines.sql"};
  if (options.demo_data) scripts.push_back(options.scripts_dir / "demo.sql");
  if (options.bench_routines) scripts.push_back(options.scripts_dir / "bench.sql");
  return scripts;
}

void CreateReferenceDatabase(const std::filesystem::path& path, const CreateOptions& options) {
  if (std::filesystem::exists(path)) throw Error("Database file already exists: " + path.string());
  const auto scripts = ScriptsFor(options);
  std::vector<std::pair<std::filesystem::path, std::vector<ScriptStatement>>> parsed;
  for (const auto& script : scripts) {
    std::ifstream in(script, std::ios::binary);
    if (!in) throw Error("Cannot read " + script.string());
    std::stringstream text;
    text << in.rdbuf();
    try {
      parsed.emplace_back(script, SplitSqlScript(text.str()));
    } catch (const Error& e) {
      throw Error(script.filename().string() + ": " + e.message());
    }
  }
  try {
    driver::Connection connection;
    connection.SetParam("Database", path.string());
    driver::UseAdministrator(connection);
    connection.CreateDatabase("WIN1252", 8192, options.forced_writes);
    for (const auto& [script, statements] : parsed) {
      auto tx = std::make_unique<driver::Transaction>(connection);
      for (const ScriptStatement& statement : statements) {
        if (statement.is_commit) {
          tx->Commit();
          tx = std::make_unique<driver::Transaction>(connection);
          continue;
        }
        try {
          if (statement.is_ddl) {
            tx->Commit();
            connection.ExecuteImmediate(statement.sql);
            tx = std::make_unique<driver::Transaction>(connection);
          } else {
            connection.ExecuteImmediate(statement.sql, tx.get());
          }
        } catch (const Error& e) {
          throw Error(script.filename().string() + ": " + e.message() + "\nin: " +
                      statement.sql.substr(0, 200));
        }
      }
      tx->Commit();
    }
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    throw;
  }
}

std::filesystem::path DefaultScriptsDir() {
  if (const char* dir = std::getenv("ORVALA_DATABASE_DIR"); dir && *dir) return dir;
  return std::filesystem::path(ORVALA_SOURCE_DIR) / "database";
}

}  // namespace orvala::database
