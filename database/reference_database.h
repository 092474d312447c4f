// Creation of the reference database from the scripts kept in database/.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvala::database {

struct CreateOptions {
  std::filesystem::path scripts_dir;  // the folder holding schema.sql and the others
  bool demo_data = true;               // load demo.sql
  bool bench_routines = false;         // load bench.sql
  bool forced_writes = true;           // off only for throwaway test databases
};

// The scripts to run, in order, for these options.
std::vector<std::filesystem::path> ScriptsFor(const CreateOptions& options);

// Creates a new database file at `path` (which must not exist) and runs the
// scripts. On failure the half-made file is removed and the Error names the
// script and the statement's beginning.
void CreateReferenceDatabase(const std::filesystem::path& path, const CreateOptions& options);

// The scripts folder of an installed or built server: ORVALA_DATABASE_DIR,
// else the source tree's database/ folder.
std::filesystem::path DefaultScriptsDir();

}  // namespace orvala::database
