// Fresh reference databases for integration tests.
//
// Building the database from its scripts takes seconds, so the first test
// that needs one builds a template (cached on disk under a key made from
// the scripts' contents, and guarded by a file lock across the test
// processes); every test then gets its own copy of the file.
#pragma once

#include <filesystem>
#include <string>

#include "tests/testing.h"

namespace orvala::testing {

// A new database file in `dir`, with demo data unless `demo` is false.
std::filesystem::path FreshDatabase(const TempDir& dir, bool demo = true,
                                    const std::string& file_name = "orvala.fdb");

}  // namespace orvala::testing
