#include "registry/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/error.h"
#include "common/unique_fd.h"
#include "registry/hive_format.h"

namespace orvala::registry {
namespace {

int Open(const std::filesystem::path& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string Describe(std::string_view what, const std::filesystem::path& path) {
  return std::string(what) + " '" + path.string() + "': " + std::strerror(errno);
}

// Fills *bytes with the file's contents; returns 0 or the errno of the
// failure.
int ReadWholeFile(const std::filesystem::path& path, std::string* bytes) {
  UniqueFd file(Open(path, O_RDONLY));
  if (!file.valid()) return errno;
  bytes->clear();
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    bytes->append(buffer, static_cast<size_t>(got));
  }
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool SyncDirectory(const std::filesystem::path& directory) {
  UniqueFd dir(Open(directory, O_RDONLY | O_DIRECTORY));
  return dir.valid() && ::fsync(dir.get()) == 0;
}

}  // namespace

HiveFile::HiveFile(std::filesystem::path directory, std::string_view root_name)
    : directory_(std::move(directory)),
      path_(directory_ / (std::string(root_name) + ".hive")),
      lock_path_(directory_ / (std::string(root_name) + ".lock")),
      temp_path_(directory_ / (std::string(root_name) + ".hive.tmp")) {}

Hive HiveFile::Read() const {
  std::string bytes;
  if (const int failure = ReadWholeFile(path_, &bytes); failure != 0) {
    // No directory, or a registry path that is not a directory, holds no
    // keys: reads then see an empty hive, as they do before the first write.
    if (failure == ENOENT || failure == ENOTDIR) return Hive();
    errno = failure;
    throw Error(Describe("Cannot read registry hive", path_));
  }
  std::string problem;
  std::optional<Hive> hive = ParseHive(bytes, &problem);
  if (!hive) {
    throw Error("Registry hive '" + path_.string() + "' cannot be read: " + problem);
  }
  return std::move(*hive);
}

std::optional<std::string> HiveFile::Update(const std::function<bool(Hive&)>& change) const {
  std::error_code ec;
  std::filesystem::create_directories(directory_, ec);
  if (ec) {
    return "cannot create the registry directory '" + directory_.string() + "': " + ec.message();
  }
  UniqueFd lock(Open(lock_path_, O_RDWR | O_CREAT, 0644));
  if (!lock.valid()) return Describe("cannot open the lock file", lock_path_);
  int locked;
  do {
    locked = ::flock(lock.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) return Describe("cannot lock", lock_path_);

  Hive hive = Read();
  if (!change(hive)) return std::nullopt;

  const std::string bytes = SerializeHive(hive);
  UniqueFd temp(Open(temp_path_, O_WRONLY | O_CREAT | O_TRUNC, 0644));
  if (!temp.valid()) return Describe("cannot create", temp_path_);
  if (!WriteAll(temp.get(), bytes) || ::fsync(temp.get()) != 0 || !temp.Close()) {
    std::string failure = Describe("cannot write", temp_path_);
    ::unlink(temp_path_.c_str());
    return failure;
  }
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    std::string failure = Describe("cannot replace", path_);
    ::unlink(temp_path_.c_str());
    return failure;
  }
  // Without this the rename itself may not survive a power cut.
  if (!SyncDirectory(directory_)) return Describe("cannot sync", directory_);
  return std::nullopt;
}

}  // namespace orvala::registry
