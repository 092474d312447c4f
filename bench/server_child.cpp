#include "bench/server_child.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <vector>

#include "common/error.h"
#include "transport/client_connection.h"

extern char** environ;

namespace orvala::bench {

ServerChild::ServerChild(const std::filesystem::path& program,
                         const std::filesystem::path& registry_dir,
                         const std::filesystem::path& runtime_dir,
                         const std::vector<std::string>& extra_args)
    : socket_(runtime_dir / "orvala.sock") {
  std::filesystem::create_directories(runtime_dir);
  setenv("ORVALA_REGISTRY_DIR", registry_dir.c_str(), 1);
  setenv("ORVALA_RUNTIME_DIR", runtime_dir.c_str(), 1);
  const std::string path = program.string();
  std::vector<char*> argv = {const_cast<char*>(path.c_str()), const_cast<char*>("--headless")};
  for (const std::string& arg : extra_args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // In a session of its own, as a server started as a service runs: the
  // scheduler then shares the cores between it and the benchmark's clients
  // as two groups, rather than as threads of one.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  const int spawned = posix_spawn(&pid_, path.c_str(), nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) throw Error("Cannot start " + path);
  // The server answers once its endpoint is open.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    try {
      transport::ConnectOptions options;
      options.endpoint = endpoint();
      transport::RemoteObject::Connect(options)->Release();
      return;
    } catch (const Error&) {
      if (std::chrono::steady_clock::now() > deadline || waitpid(pid_, nullptr, WNOHANG) == pid_) {
        throw Error("The server did not start: " + path);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
}

ServerChild::~ServerChild() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

double ServerChild::CpuSeconds() const {
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Fields after the command name, which ends with the last ')'.
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t ServerChild::StatusBytes(const std::string& key) const {
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) != 0) continue;
    std::istringstream fields(line.substr(key.size()));
    size_t kilobytes = 0;
    fields >> kilobytes;
    return kilobytes * 1024;
  }
  throw Error("No " + key + " for the server process");
}

}  // namespace orvala::bench
