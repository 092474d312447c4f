#include "common/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/error.h"

namespace orvala {

std::filesystem::path RuntimeDir() {
  namespace fs = std::filesystem;
  fs::path dir;
  if (const char* configured = std::getenv("ORVALA_RUNTIME_DIR"); configured && *configured) {
    dir = configured;
  } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
    dir = fs::path(xdg) / "orvala";
  } else {
    dir = "/tmp/orvala-" + std::to_string(getuid());
  }
  const bool existed = fs::exists(dir);
  fs::create_directories(dir);
  struct stat info {};
  if (stat(dir.c_str(), &info) != 0 || info.st_uid != getuid()) {
    throw Error("Runtime folder " + dir.string() + " is not owned by this user");
  }
  // Only the owner may list or change the folder. A server that lets a
  // group reach its socket opens the folder to that group for passing
  // through (0710); later programs of the owner must not take that away.
  const bool group_passes = existed && (info.st_mode & S_IXGRP) != 0;
  chmod(dir.c_str(), group_passes ? 0710 : 0700);
  return dir;
}

}  // namespace orvala
