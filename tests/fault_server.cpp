#include "tests/fault_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/error.h"
#include "registry/database_location.h"
#include "registry/registry.h"

extern char** environ;

namespace orvala::testing {
namespace {

constexpr char kDieWithParent[] = "/usr/bin/setpriv";

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env,
                           const std::filesystem::path& output) {
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
    throw Error("pipe: " + std::string(std::strerror(errno)));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  if (output.empty()) {
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    // Its messages too, so that the file tells why a server did not start.
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  // Started through setpriv, the child gets SIGKILL when the test's thread
  // that started it ends, so that a test that crashes or is stopped by its
  // timeout leaves no server behind.
  std::vector<std::string> launched{kDieWithParent, "--pdeathsig", "KILL", "--"};
  launched.insert(launched.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  for (const auto& a : launched) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // getenv takes the first entry of a name, so the given ones replace
  // those inherited.
  std::vector<std::string> env_text = extra_env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const auto& given : extra_env) replaced = replaced || given.rfind(name, 0) == 0;
    if (!replaced) env_text.push_back(entry);
  }
  std::vector<char*> env;
  for (auto& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  if (rc != 0) throw Error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    Kill(SIGKILL);
    Wait();
  }
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

bool ChildProcess::alive() {
  if (reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

void ChildProcess::Write(const std::string& text) {
  const sighandler_t old = signal(SIGPIPE, SIG_IGN);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  signal(SIGPIPE, old);
}

void ChildProcess::CloseInput() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

bool ChildProcess::ReadLine(std::string& line, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (const auto eol = buffered_.find('\n'); eol != std::string::npos) {
      line = buffered_.substr(0, eol);
      buffered_.erase(0, eol + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

void ChildProcess::Kill(int signal_number) {
  if (!reaped_) kill(pid_, signal_number);
}

int ChildProcess::Wait() {
  if (!reaped_) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return status_;
}

ServerProgram::ServerProgram(const std::filesystem::path& dir, const std::string& location,
                             std::vector<std::string> extra_args)
    : registry_dir_(dir / "registry"), runtime_dir_(dir / "run"), socket_(runtime_dir_ / "orvala.sock") {
  std::filesystem::create_directories(registry_dir_);
  std::filesystem::create_directories(runtime_dir_);
  std::filesystem::permissions(runtime_dir_, std::filesystem::perms::owner_all);
  registry::WriteDatabaseLocation(registry::Registry(registry_dir_), location);
  std::vector<std::string> argv{ServerProgramPath(), "--headless"};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  process_ = std::make_unique<ChildProcess>(argv, Environment(), dir / "server.log");
  // Ready when the socket answers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    try {
      Connect();
      return;
    } catch (const Error&) {
      if (!process_->alive() || std::chrono::steady_clock::now() > deadline) {
        std::ifstream log(dir / "server.log");
        std::string text((std::istreambuf_iterator<char>(log)), {});
        throw Error("orvala-server did not start: " + text);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

std::vector<std::string> ServerProgram::Environment() const {
  return {"ORVALA_REGISTRY_DIR=" + registry_dir_.string(),
          "ORVALA_RUNTIME_DIR=" + runtime_dir_.string()};
}

std::unique_ptr<transport::RemoteObject> ServerProgram::Connect() const {
  transport::ConnectOptions options;
  options.endpoint = "unix:" + socket_.string();
  return transport::RemoteObject::Connect(options);
}

int ServerProgram::Stop() {
  process_->Kill(SIGTERM);
  return process_->Wait();
}

int ServerProgram::Kill() {
  process_->Kill(SIGKILL);
  return process_->Wait();
}

namespace {

long StatusField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

}  // namespace

int ServerProgram::Threads() const { return static_cast<int>(StatusField(pid(), "Threads")); }
long ServerProgram::RssKb() const { return StatusField(pid(), "VmRSS"); }

std::string ServerProgramPath() { return ORVALA_SERVER_PROGRAM; }
std::string CliProgramPath() { return ORVALA_CLI_PROGRAM; }

}  // namespace orvala::testing
