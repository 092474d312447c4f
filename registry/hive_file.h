// One hive's file in the registry directory, and the lock that orders its
// writers.
//
// Readers take no lock: a writer replaces the file by renaming a complete,
// synced temporary file over it, so a reader sees the hive as it was
// before or after a change, never half of one, and a crash leaves one or
// the other. Writers hold an exclusive flock on the hive's lock file for a
// whole read-modify-write, so no writer loses another's change. Every
// update opens the lock file afresh, so the lock orders the threads of one
// process as well as separate processes.
//
// A HiveFile is immutable: its methods may be called from several threads
// at once.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "registry/hive.h"

namespace orvala::registry {

class HiveFile {
 public:
  // The files "<root_name>.hive" and "<root_name>.lock" in `directory`.
  HiveFile(std::filesystem::path directory, std::string_view root_name);

  const std::filesystem::path& path() const { return path_; }

  // The hive as stored; a missing file or directory is an empty hive.
  // Throws Error naming the file when it cannot be read or parsed.
  Hive Read() const;

  // Reads the hive, applies `change` and, when `change` answers that it
  // changed something, stores the result: one read-modify-write under the
  // lock. Returns why the change could not be stored (the directory cannot
  // be created, the lock cannot be taken, the new file cannot be written),
  // or nullopt when it was stored or nothing changed; a failed write leaves
  // the file as it was. Throws Error naming the file when the stored hive
  // cannot be read or parsed: a hive that cannot be read is never
  // overwritten. Errors thrown by `change` pass through, nothing stored.
  std::optional<std::string> Update(const std::function<bool(Hive&)>& change) const;

 private:
  std::filesystem::path directory_;
  std::filesystem::path path_;
  std::filesystem::path lock_path_;
  std::filesystem::path temp_path_;
};

}  // namespace orvala::registry
