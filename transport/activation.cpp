#include "transport/activation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/error.h"
#include "transport/server_endpoint.h"

namespace orvala::transport {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollInterval{20};
constexpr std::chrono::milliseconds kProbeTimeout{1'000};

[[noreturn]] void NotRegistered(std::string_view what) {
  throw Error::FromStatus(kStatusClassNotRegistered, "Class not registered: " + std::string(what));
}

[[noreturn]] void StartFailed(const std::string& why) {
  throw Error::FromStatus(CO_E_SERVER_EXEC_FAILURE, why);
}

std::optional<std::string> DefaultText(const registry::Registry& registry, const std::string& key) {
  const auto opened = registry.OpenKey(registry::Root::kClassesRoot, key);
  if (!opened) return std::nullopt;
  const auto value = opened->GetValue("");
  if (!value || !value->is_text()) return std::nullopt;
  // A text value may hold zero characters; the text ends at the first.
  return std::string(value->data().c_str());
}

// Something accepts on the socket.
bool Reachable(const std::filesystem::path& socket_path) {
  try {
    Connect(Address{Address::Kind::kUnix, socket_path, "", 0}, kProbeTimeout);
    return true;
  } catch (const Error&) {
    return false;
  }
}

// The start lock, held while one client checks for a server and starts it.
UniqueFd LockStart(const std::filesystem::path& lock_path, Clock::time_point deadline) {
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) StartFailed("Cannot open " + lock_path.string() + ": " + std::strerror(errno));
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      StartFailed("Cannot lock " + lock_path.string() + ": " + std::strerror(errno));
    }
    if (Clock::now() >= deadline) StartFailed("Another client kept the start lock too long");
    std::this_thread::sleep_for(kPollInterval);
  }
  return fd;
}

// Starts `executable -Embedding` as a process of its own: detached from
// the client (a new session, reparented away from us so that it never
// lingers as our zombie), with no standard input or output, its errors
// going to `log_path`. Fails when the executable cannot be run.
void StartServer(const std::filesystem::path& executable, const std::filesystem::path& log_path) {
  // Everything the children need is prepared here: after fork only
  // async-signal-safe calls are allowed.
  const std::string path = executable.string();
  const char* argv[] = {path.c_str(), "-Embedding", nullptr};
  UniqueFd null_fd(::open("/dev/null", O_RDWR | O_CLOEXEC));
  UniqueFd log_fd(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (!log_fd.valid()) log_fd = UniqueFd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  int exec_pipe[2];
  if (!null_fd.valid() || !log_fd.valid() || pipe2(exec_pipe, O_CLOEXEC) != 0) {
    StartFailed("Cannot prepare to start " + path + ": " + std::strerror(errno));
  }
  UniqueFd exec_read(exec_pipe[0]);
  UniqueFd exec_write(exec_pipe[1]);

  const pid_t child = fork();
  if (child < 0) StartFailed("Cannot start " + path + ": " + std::strerror(errno));
  if (child == 0) {
    setsid();
    const pid_t server = fork();
    if (server != 0) _exit(server < 0 ? 1 : 0);
    dup2(null_fd.get(), STDIN_FILENO);
    dup2(null_fd.get(), STDOUT_FILENO);
    dup2(log_fd.get(), STDERR_FILENO);
    execv(argv[0], const_cast<char* const*>(argv));
    const int error = errno;
    [[maybe_unused]] const ssize_t n = ::write(exec_write.get(), &error, sizeof(error));
    _exit(127);
  }
  exec_write.Reset();
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) StartFailed("Cannot start " + path);
  // The pipe closes on a successful exec; otherwise it carries errno.
  int error = 0;
  ssize_t n;
  do {
    n = ::read(exec_read.get(), &error, sizeof(error));
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof(error))) {
    StartFailed("Cannot start " + path + ": " + std::strerror(error));
  }
}

void WaitUntilReachable(const std::filesystem::path& socket_path,
                        const std::filesystem::path& executable,
                        const std::filesystem::path& log_path, Clock::time_point deadline) {
  while (!Reachable(socket_path)) {
    if (Clock::now() >= deadline) {
      StartFailed("The server " + executable.string() + " did not accept connections on " +
                  socket_path.string() + " in time (its errors go to " + log_path.string() + ")");
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

Guid ResolveClass(const registry::Registry& registry, std::string_view clsid_or_progid) {
  if (const std::optional<Guid> clsid = Guid::Parse(clsid_or_progid)) return *clsid;
  const std::optional<std::string> text = DefaultText(registry, std::string(clsid_or_progid) + "\\Clsid");
  if (!text) NotRegistered(clsid_or_progid);
  const std::optional<Guid> clsid = Guid::Parse(*text);
  if (!clsid) NotRegistered(clsid_or_progid);
  return *clsid;
}

std::filesystem::path LocalServerPath(const registry::Registry& registry, const Guid& clsid) {
  std::optional<std::string> text =
      DefaultText(registry, "CLSID\\" + clsid.ToString() + "\\LocalServer32");
  if (!text || text->empty()) NotRegistered(clsid.ToString());
  if (text->size() >= 2 && text->front() == '"' && text->back() == '"') {
    *text = text->substr(1, text->size() - 2);
  }
  return *text;
}

std::unique_ptr<RemoteObject> CreateRemoteObject(std::string_view clsid_or_progid,
                                                 const ActivationOptions& options) {
  const Guid clsid = ResolveClass(options.registry, clsid_or_progid);
  const std::filesystem::path socket_path =
      options.socket_path.empty() ? DefaultSocketPath() : options.socket_path;
  const std::filesystem::path runtime_dir =
      options.runtime_dir.empty() ? socket_path.parent_path() : options.runtime_dir;
  ConnectOptions connect;
  connect.endpoint = "unix:" + socket_path.string();
  connect.clsid = clsid;

  // A server found at the last moment of its life (its last client just
  // left) may close under us; the second round then starts a new one.
  constexpr int kRounds = 2;
  for (int round = 1;; ++round) {
    if (!Reachable(socket_path)) {
      const std::filesystem::path executable = LocalServerPath(options.registry, clsid);
      const auto deadline = Clock::now() + options.start_timeout;
      const UniqueFd lock = LockStart(runtime_dir / "orvala-start.lock", deadline);
      // Whoever held the lock before us may have started it already.
      if (!Reachable(socket_path)) {
        const std::filesystem::path log_path = runtime_dir / "orvala-server.log";
        StartServer(executable, log_path);
        WaitUntilReachable(socket_path, executable, log_path, deadline);
      }
    }
    try {
      return RemoteObject::Connect(connect);
    } catch (const Error& e) {
      const bool server_went_away = e.status() == RPC_E_DISCONNECTED || e.status() == 0;
      if (!server_went_away || round == kRounds) throw;
    }
  }
}

}  // namespace orvala::transport
