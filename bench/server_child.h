// The real server program, started as a child process over a registry and
// a runtime folder of the benchmark's own, so that its memory can be read.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace orvala::bench {

class ServerChild {
 public:
  // Starts `program --headless` (then `extra_args`) and waits until its
  // local socket answers.
  ServerChild(const std::filesystem::path& program, const std::filesystem::path& registry_dir,
              const std::filesystem::path& runtime_dir,
              const std::vector<std::string>& extra_args = {});
  // Asks it to stop (SIGTERM) and waits for it.
  ~ServerChild();
  ServerChild(const ServerChild&) = delete;
  ServerChild& operator=(const ServerChild&) = delete;

  std::string endpoint() const { return "unix:" + socket_.string(); }
  pid_t pid() const { return pid_; }

  // Resident memory now and at its peak, in bytes (/proc/<pid>/status).
  size_t ResidentBytes() const { return StatusBytes("VmRSS:"); }
  size_t PeakResidentBytes() const { return StatusBytes("VmHWM:"); }
  // User and system CPU time it has used so far, in seconds.
  double CpuSeconds() const;

 private:
  size_t StatusBytes(const std::string& key) const;

  pid_t pid_ = -1;
  std::filesystem::path socket_;
};

}  // namespace orvala::bench
