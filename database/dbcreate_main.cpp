// orvala-dbcreate: creates a fresh reference database file.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/error.h"
#include "database/reference_database.h"

int main(int argc, char** argv) {
  orvala::database::CreateOptions options;
  options.scripts_dir = orvala::database::DefaultScriptsDir();
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-demo")) options.demo_data = false;
    else if (!std::strcmp(argv[i], "--bench")) options.bench_routines = true;
    else if (!std::strcmp(argv[i], "--scripts") && i + 1 < argc) options.scripts_dir = argv[++i];
    else if (argv[i][0] != '-' && path.empty()) path = argv[i];
    else {
      std::fprintf(stderr, "usage: orvala-dbcreate [--no-demo] [--bench] [--scripts DIR] FILE\n");
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: orvala-dbcreate [--no-demo] [--bench] [--scripts DIR] FILE\n");
    return 2;
  }
  try {
    orvala::database::CreateReferenceDatabase(path, options);
  } catch (const orvala::Error& e) {
    std::fprintf(stderr, "orvala-dbcreate: %s\n", e.message());
    return 1;
  }
  std::printf("created %s\n", path.c_str());
  return 0;
}
