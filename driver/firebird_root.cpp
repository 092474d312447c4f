#include "driver/firebird_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "common/paths.h"

namespace orvala::driver {
namespace {

constexpr const char* kSystemRoot = "/usr/lib/x86_64-linux-gnu/firebird/3.0";

std::filesystem::path SystemRoot() {
  // Other architectures keep the same layout under their own triplet.
  std::filesystem::path root = kSystemRoot;
  if (std::filesystem::exists(root)) return root;
  for (const auto& dir : {"/usr/lib/firebird/3.0", "/usr/lib64/firebird/3.0"}) {
    if (std::filesystem::exists(dir)) return dir;
  }
  return root;
}

void CreateRoot(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  if (fs::exists(root / "firebird.conf")) return;
  // Build the root beside its final place and rename it in, so that a
  // second process never sees half a root.
  fs::path staging = root;
  staging += ".tmp-" + std::to_string(getpid());
  fs::remove_all(staging);
  fs::create_directories(staging);
  for (const auto& entry : fs::directory_iterator(SystemRoot())) {
    const auto name = entry.path().filename();
    if (name == "firebird.conf") continue;
    if (name == "intl") {
      // The engine resolves the character-set library's real path and finds
      // it only inside the root it was given, so a link would leave every
      // character set but the built-in ones undefined: copy it instead.
      fs::create_directories(staging / name);
      for (const auto& file : fs::directory_iterator(entry.path())) {
        fs::copy_file(file.path(), staging / name / file.path().filename());
      }
      continue;
    }
    fs::create_symlink(entry.path(), staging / name);
  }
  {
    std::ofstream conf(staging / "firebird.conf");
    conf << "# Several processes of the server share one embedded database file.\n"
            "ServerMode = SuperClassic\n";
  }
  std::error_code ec;
  fs::rename(staging, root, ec);
  if (ec) fs::remove_all(staging);  // another process won the race
}

}  // namespace

void EnsureFirebirdRoot() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (const char* set = std::getenv("FIREBIRD"); set && *set) return;
    const auto root = RuntimeDir() / "firebird-root-2";
    CreateRoot(root);
    setenv("FIREBIRD", root.c_str(), 0);
  });
}

}  // namespace orvala::driver
