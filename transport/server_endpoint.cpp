#include "transport/server_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/error.h"
#include "common/paths.h"
#include "server/type_library.h"

namespace orvala::transport {

namespace {

constexpr int kBacklog = 64;
constexpr size_t kMaxSecretSize = 4096;

server::ErrorInfo TransportError(const std::string& description) {
  const server::LibraryInfo& lib = server::Library();
  return server::ErrorInfo{lib.iid, lib.prog_id, description, "", 0};
}

wire::StatusReply Refusal(HResult status, const std::string& description) {
  return wire::StatusReply{status, TransportError(description)};
}

// Compares in time that depends only on the lengths, so that the secret
// cannot be guessed byte by byte from the answer's timing.
bool SameSecret(const std::string& expected, const std::optional<std::string>& given) {
  if (!given) return false;
  const size_t n = std::max(expected.size(), given->size());
  unsigned char diff = expected.size() == given->size() ? 0 : 1;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char a = i < expected.size() ? expected[i] : 0;
    const unsigned char b = i < given->size() ? (*given)[i] : 0;
    diff |= a ^ b;
  }
  return diff == 0;
}

// Members of the socket's group must pass through its folder to reach it;
// they get no right to list or change the folder.
void LetGroupThrough(const std::filesystem::path& folder, gid_t group) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0) {
    throw Error("Cannot read the folder " + folder.string() + ": " + std::strerror(errno));
  }
  const bool passes = (info.st_mode & S_IXOTH) != 0 || (info.st_gid == group && (info.st_mode & S_IXGRP) != 0);
  if (passes) return;
  if (::chown(folder.c_str(), static_cast<uid_t>(-1), group) != 0 ||
      ::chmod(folder.c_str(), (info.st_mode & 07700) | S_IXGRP) != 0) {
    throw Error("Cannot let group " + std::to_string(group) + " through " + folder.string() + ": " +
                std::strerror(errno));
  }
}

UniqueFd LockSocketPath(const std::filesystem::path& socket_path) {
  std::filesystem::path lock_path = socket_path;
  lock_path += ".lock";
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    throw Error("Cannot open " + lock_path.string() + ": " + std::strerror(errno));
  }
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    throw Error("Another server is already serving " + socket_path.string());
  }
  return fd;
}

}  // namespace

std::filesystem::path DefaultSocketPath() { return RuntimeDir() / "orvala.sock"; }

std::string ReadSecretFile(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    throw Error("Secret file " + path.string() + " cannot be read");
  }
  if ((info.st_mode & 077) != 0) {
    throw Error("Secret file " + path.string() + " must be readable by its owner only (chmod 600)");
  }
  if (info.st_size > static_cast<off_t>(kMaxSecretSize)) {
    throw Error("Secret file " + path.string() + " is too large");
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string secret = text.str();
  while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) secret.pop_back();
  if (!in || secret.empty()) throw Error("Secret file " + path.string() + " is empty");
  return secret;
}

struct ServerEndpoint::Listener {
  UniqueFd fd;
  std::string name;
  std::optional<std::string> secret;
  size_t active = 0;  // guarded by the endpoint's mutex_
};

struct ServerEndpoint::Connection {
  Connection(Listener& l, UniqueFd fd) : listener(l), socket(std::move(fd)) {}
  Listener& listener;
  FrameSocket socket;
  bool open = true;       // guarded by the endpoint's mutex_: the descriptor is still ours
  bool finished = false;  // guarded by the endpoint's mutex_: the thread touches it no more
  std::thread thread;
};

ServerEndpoint::ServerEndpoint(EndpointOptions options, Factory factory,
                               ObjectCountHandler on_object_count)
    : options_(std::move(options)),
      factory_(std::move(factory)),
      on_object_count_(std::move(on_object_count)) {
  if (!options_.unix_enabled && !options_.tcp_listen) throw Error("No listener was asked for");
  if (options_.tcp_listen) {
    if (!options_.tcp_secret || options_.tcp_secret->empty()) {
      throw Error("A TCP listener needs a shared secret");
    }
    const Address address = ParseTcpAddress(*options_.tcp_listen);
    Listener& tcp = listeners_.emplace_back();
    tcp.fd = ListenTcp(address, kBacklog);
    tcp.name = address.ToString();
    tcp.secret = options_.tcp_secret;
    tcp_port_ = BoundPort(tcp.fd.get());
  }
  if (options_.unix_enabled) {
    unix_path_ = options_.unix_path.empty() ? DefaultSocketPath() : options_.unix_path;
    unix_lock_ = LockSocketPath(unix_path_);
    Listener& local = listeners_.emplace_back();
    local.fd = ListenUnix(unix_path_, options_.unix_group ? 0660 : 0600, options_.unix_group,
                          kBacklog);
    if (options_.unix_group) LetGroupThrough(unix_path_.parent_path(), *options_.unix_group);
    local.name = "unix:" + unix_path_.string();
    local.secret = options_.unix_secret;
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Error(std::string("Cannot create a pipe: ") + std::strerror(errno));
  }
  wake_read_.Reset(pipe_fds[0]);
  wake_write_.Reset(pipe_fds[1]);
  acceptor_ = std::thread(&ServerEndpoint::AcceptLoop, this);
}

ServerEndpoint::~ServerEndpoint() { Stop(); }

size_t ServerEndpoint::object_count() const {
  MutexLock lock(mutex_);
  return objects_;
}

void ServerEndpoint::Wake() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), &byte, 1);
}

void ServerEndpoint::Stop() {
  std::call_once(stopped_, [this] {
    stopping_ = true;
    Wake();
    if (acceptor_.joinable()) acceptor_.join();
    // Remove the file before its descriptor closes, so a client never finds
    // a socket that nobody will accept on. The listeners themselves stay
    // until the connections are gone: their threads read its settings.
    if (options_.unix_enabled) ::unlink(unix_path_.c_str());
    for (Listener& l : listeners_) l.fd.Reset();
    std::vector<std::thread> threads;
    {
      MutexLock lock(mutex_);
      for (Connection& c : connections_) {
        if (c.open) c.socket.Shutdown();
        threads.push_back(std::move(c.thread));
      }
    }
    for (std::thread& t : threads) t.join();
    MutexLock lock(mutex_);
    connections_.clear();
    listeners_.clear();
    unix_lock_.Reset();
  });
}

void ServerEndpoint::AcceptLoop() {
  std::vector<pollfd> fds;
  std::vector<Listener*> owners;
  fds.push_back(pollfd{wake_read_.get(), POLLIN, 0});
  for (Listener& l : listeners_) {
    fds.push_back(pollfd{l.fd.get(), POLLIN, 0});
    owners.push_back(&l);
  }
  while (!stopping_) {
    for (pollfd& p : fds) p.revents = 0;
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char drain[64];
      while (::read(wake_read_.get(), drain, sizeof(drain)) > 0) {
      }
      ReapFinished();
    }
    if (stopping_) break;
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents & POLLIN) Accept(*owners[i - 1]);
    }
  }
}

void ServerEndpoint::Accept(Listener& listener) {
  UniqueFd fd(accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd.valid()) return;  // the peer gave up before we got to it, or we ran out of descriptors
  MutexLock lock(mutex_);
  if (listener.active >= options_.max_connections) {
    // Told at once and closed, without a thread: the client has sent
    // nothing yet (the server speaks first), so the answer arrives intact.
    FrameSocket refused(std::move(fd));
    refused.WriteAll(wire::EncodeFrame(wire::ServerFrame(Refusal(
        wire::kStatusServerTooBusy, "The server is busy: " + listener.name + " serves at most " +
                                        std::to_string(options_.max_connections) +
                                        " connections at once"))));
    return;
  }
  ++listener.active;
  Connection& c = connections_.emplace_back(listener, std::move(fd));
  c.thread = std::thread(&ServerEndpoint::Serve, this, std::ref(c));
}

void ServerEndpoint::ReapFinished() {
  std::vector<std::thread> done;
  {
    MutexLock lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->finished) {
        done.push_back(std::move(it->thread));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (std::thread& t : done) t.join();
}

void ServerEndpoint::ObjectCountChanged(int delta) {
  // One report at a time and in order, so that the handler never sees a
  // stale count after a newer one.
  MutexLock report(report_mutex_);
  size_t count;
  {
    MutexLock lock(mutex_);
    objects_ = delta > 0 ? objects_ + 1 : objects_ - 1;
    count = objects_;
  }
  if (on_object_count_) on_object_count_(count);
}

namespace {

// One connection's conversation, on the connection's own thread.
class Session {
 public:
  Session(FrameSocket& socket, const EndpointOptions& options,
          const std::optional<std::string>& secret, const ServerEndpoint::Factory& factory,
          std::function<void(int)> count_changed)
      : socket_(socket),
        options_(options),
        secret_(secret),
        factory_(factory),
        count_changed_(std::move(count_changed)) {}

  ~Session() { ReleaseObject(); }

  void Run() {
    if (!Send(wire::Welcome{})) return;
    if (!Handshake()) return;
    std::vector<uint8_t> body;
    while (socket_.ReadFrame(body, options_.max_frame_size) == FrameSocket::ReadResult::kFrame) {
      wire::ClientFrame frame;
      try {
        frame = wire::DecodeClientFrame(body);
      } catch (const Error& e) {
        ProtocolError(std::string("Malformed frame: ") + e.what());
        return;
      }
      if (!std::visit([this](auto& f) { return Handle(f); }, frame)) return;
    }
  }

 private:
  bool Send(const wire::ServerFrame& frame) { return socket_.WriteAll(wire::EncodeFrame(frame)); }

  // Told to the peer before its connection closes.
  bool ProtocolError(const std::string& description) {
    Send(Refusal(wire::kStatusProtocolError, description));
    return false;
  }

  bool Handshake() {
    std::vector<uint8_t> body;
    const auto deadline = std::chrono::steady_clock::now() + options_.hello_timeout;
    if (socket_.ReadFrame(body, options_.max_frame_size, deadline) !=
        FrameSocket::ReadResult::kFrame) {
      return false;
    }
    wire::ClientFrame frame;
    try {
      frame = wire::DecodeClientFrame(body);
    } catch (const Error& e) {
      return ProtocolError(std::string("Malformed frame: ") + e.what());
    }
    const auto* hello = std::get_if<wire::Hello>(&frame);
    if (!hello) return ProtocolError("The first frame must be a hello");
    if (hello->version != wire::kProtocolVersion) {
      Send(Refusal(wire::kStatusVersionMismatch,
                   "Protocol version " + std::to_string(hello->version) +
                       " is not supported; this server speaks version " +
                       std::to_string(wire::kProtocolVersion)));
      return false;
    }
    if (secret_ && !SameSecret(*secret_, hello->secret)) {
      Send(Refusal(E_ACCESSDENIED, "Access denied: the shared secret is missing or wrong"));
      return false;
    }
    return Send(wire::StatusReply{});
  }

  bool Handle(const wire::Hello&) { return ProtocolError("Hello was already said"); }

  bool Handle(const wire::CreateObject& f) {
    if (object_) return ProtocolError("This connection already holds an object");
    const std::optional<Guid> clsid = Guid::Parse(f.clsid);
    if (!clsid || *clsid != server::Library().clsid) {
      return Send(Refusal(CLASS_E_CLASSNOTAVAILABLE, "Class not available: " + f.clsid));
    }
    try {
      object_ = factory_();
    } catch (const std::exception& e) {
      return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, e.what()));
    } catch (...) {
      return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, "The object could not be created"));
    }
    if (!object_) return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, "The object could not be created"));
    count_changed_(+1);
    return Send(wire::StatusReply{});
  }

  bool Handle(wire::CallRequest& f) {
    if (!object_) return ProtocolError("A call needs an object: create one first");
    const server::MethodDef* method = f.target == wire::CallTarget::kSlot
                                          ? server::MethodBySlot(f.id)
                                          : server::MethodByDispid(f.id);
    wire::CallReply reply;
    if (!method) {
      reply.status = DISP_E_MEMBERNOTFOUND;
      return Send(reply);
    }
    server::CallOutcome outcome;
    try {
      outcome = object_->Invoke(*method, f.args);
    } catch (const Error& e) {
      outcome.status = Failed(e.status()) ? e.status() : E_UNEXPECTED;
      outcome.error = TransportError(e.what());
      outcome.error->help_context = e.help_context();
    } catch (const std::exception& e) {
      outcome.status = E_UNEXPECTED;
      outcome.error = TransportError(e.what());
    } catch (...) {
      outcome.status = E_UNEXPECTED;
      outcome.error = TransportError("Unexpected failure");
    }
    reply.status = outcome.status;
    reply.result = std::move(outcome.result);
    reply.error = std::move(outcome.error);
    if (f.args.size() == method->args.size()) {
      for (size_t i = 0; i < f.args.size(); ++i) {
        if (method->args[i].direction != server::ArgDirection::In) {
          reply.out.emplace_back(static_cast<uint32_t>(i), std::move(f.args[i]));
        }
      }
    }
    return Send(reply);
  }

  bool Handle(const wire::GetIdsOfNames& f) {
    wire::IdsOfNamesReply reply;
    reply.ids.assign(f.names.size(), wire::kDispidUnknown);
    const server::MethodDef* method = f.names.empty() ? nullptr : server::MethodByName(f.names[0]);
    if (method) {
      reply.ids[0] = method->dispid;
      for (size_t i = 1; i < f.names.size(); ++i) {
        if (const auto index = server::ArgIndexByName(*method, f.names[i])) reply.ids[i] = *index;
      }
    }
    for (int32_t id : reply.ids) {
      if (id == wire::kDispidUnknown) reply.status = DISP_E_UNKNOWNNAME;
    }
    if (f.names.empty()) reply.status = DISP_E_UNKNOWNNAME;
    return Send(reply);
  }

  bool Handle(const wire::GetTypeInfo&) {
    return Send(wire::TypeInfoReply{S_OK, server::DescribeTypeLibrary()});
  }

  bool Handle(const wire::GetTypeLibrary&) {
    return Send(wire::TypeLibraryReply{S_OK, server::DescribeTypeLibraryAsData()});
  }

  bool Handle(const wire::Release&) {
    ReleaseObject();
    Send(wire::StatusReply{});
    return false;  // a released connection is done
  }

  void ReleaseObject() {
    if (!object_) return;
    object_.reset();  // the object's destroy handler runs here, on its own thread
    count_changed_(-1);
  }

  FrameSocket& socket_;
  const EndpointOptions& options_;
  const std::optional<std::string>& secret_;
  const ServerEndpoint::Factory& factory_;
  std::function<void(int)> count_changed_;
  std::unique_ptr<server::ObjectChannel> object_;
};

}  // namespace

void ServerEndpoint::Serve(Connection& c) {
  try {
    Session session(c.socket, options_, c.listener.secret, factory_,
                    [this](int delta) { ObjectCountChanged(delta); });
    session.Run();
  } catch (...) {
    // Whatever went wrong ends this connection only; its object has been
    // released by the session's destructor.
  }
  {
    MutexLock lock(mutex_);
    c.open = false;
    c.socket = FrameSocket(UniqueFd());
    --c.listener.active;
    c.finished = true;
  }
  Wake();
}

}  // namespace orvala::transport
