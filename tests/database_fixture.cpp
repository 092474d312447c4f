#include "tests/database_fixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "database/reference_database.h"

namespace orvala::testing {
namespace {

std::string TemplateKey(const database::CreateOptions& options) {
  std::string all;
  for (const auto& script : database::ScriptsFor(options)) {
    std::ifstream in(script, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    all += script.filename().string() + '\0' + text.str() + '\0';
  }
  std::ostringstream key;
  key << std::hex << std::hash<std::string>{}(all);
  return key.str();
}

std::filesystem::path CacheDir() {
  const char* configured = std::getenv("ORVALA_TEST_CACHE_DIR");
  std::filesystem::path dir =
      configured && *configured ? configured
                                : std::filesystem::temp_directory_path() /
                                      ("orvala-test-cache-" + std::to_string(getuid()));
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace

std::filesystem::path FreshDatabase(const TempDir& dir, bool demo, const std::string& file_name) {
  database::CreateOptions options;
  options.scripts_dir = SourceDir() / "database";
  options.demo_data = demo;
  options.forced_writes = false;
  const std::filesystem::path cache = CacheDir();
  const std::string key = TemplateKey(options) + (demo ? "-demo" : "-empty");
  const std::filesystem::path template_file = cache / (key + ".fdb");
  if (!std::filesystem::exists(template_file)) {
    const std::string lock_path = (cache / (key + ".lock")).string();
    const int lock = open(lock_path.c_str(), O_CREAT | O_RDWR, 0600);
    flock(lock, LOCK_EX);
    if (!std::filesystem::exists(template_file)) {
      const std::filesystem::path staging = cache / (key + ".building.fdb");
      std::filesystem::remove(staging);
      try {
        database::CreateReferenceDatabase(staging, options);
      } catch (...) {
        flock(lock, LOCK_UN);
        close(lock);
        throw;
      }
      std::filesystem::rename(staging, template_file);
    }
    flock(lock, LOCK_UN);
    close(lock);
  }
  const std::filesystem::path target = dir / file_name;
  std::filesystem::copy_file(template_file, target);
  return target;
}

}  // namespace orvala::testing
