// Real processes for the fault and load tests: an orvala-server over a
// database location of the test's choosing, with a registry and runtime
// folder of its own, and child programs whose input and output the test
// holds so that it can kill them at a known point.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "transport/client_connection.h"

namespace orvala::testing {

// A child process. Its standard input and output are pipes to the test
// unless `output` names a file, which then takes its standard error too.
// The destructor kills it and reaps it, and so does the end of the thread
// that started it (a crash of the test included).
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::filesystem::path& output = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool alive();
  void Write(const std::string& text);
  void CloseInput();
  // The next line of its output without the line break, or false at its
  // end or after `timeout_ms`.
  bool ReadLine(std::string& line, int timeout_ms = 60'000);
  void Kill(int signal);
  // Waits for the end; the exit status, or 128 + the signal.
  int Wait();

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffered_;
  bool reaped_ = false;
  int status_ = 0;
};

// orvala-server --headless over `location`, serving a socket in `dir`.
class ServerProgram {
 public:
  ServerProgram(const std::filesystem::path& dir, const std::string& location,
                std::vector<std::string> extra_args = {});

  pid_t pid() const { return process_->pid(); }
  bool alive() { return process_->alive(); }
  const std::filesystem::path& socket() const { return socket_; }
  const std::filesystem::path& registry_dir() const { return registry_dir_; }
  // The environment that points a program at this server's folders.
  std::vector<std::string> Environment() const;

  std::unique_ptr<transport::RemoteObject> Connect() const;
  // Asks the server to end (SIGTERM) and returns its exit status.
  int Stop();
  // Ends it the hard way (SIGKILL), as a crash would; its exit status.
  int Kill();

  // Figures from /proc.
  int Threads() const;
  long RssKb() const;

 private:
  std::filesystem::path registry_dir_, runtime_dir_, socket_;
  std::unique_ptr<ChildProcess> process_;
};

// The programs under test, as built beside this test.
std::string ServerProgramPath();
std::string CliProgramPath();

}  // namespace orvala::testing
