#include "transport/server_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "common/error.h"
#include "common/log.h"
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

std::string AddressText(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(addr);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof(host));
    return std::string(host) + ":" + std::to_string(ntohs(v4.sin_port));
  }
  const auto& v6 = reinterpret_cast<const sockaddr_in6&>(addr);
  inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof(host));
  return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6.sin6_port));
}

// "127.0.0.1:50123", "[::1]:50123", or for the local socket the peer's
// user and process.
std::string PeerName(int fd, bool tcp) {
  if (!tcp) {
    ucred cred{};
    socklen_t length = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return "local";
    return "local (uid " + std::to_string(cred.uid) + ", pid " + std::to_string(cred.pid) + ")";
  }
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return "?";
  return AddressText(addr);
}

std::string BoundName(int fd) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return "?";
  return AddressText(addr);
}

int SocketFamily(int fd) {
  sockaddr_storage addr{};
  socklen_t length = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return AF_UNSPEC;
  return addr.ss_family;
}

std::filesystem::path UnixSocketPath(int fd) {
  sockaddr_un addr{};
  socklen_t length = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
      length <= offsetof(sockaddr_un, sun_path) || addr.sun_path[0] == '\0') {
    return {};
  }
  return std::filesystem::path(std::string(addr.sun_path));
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
  SSL_CTX* tls = nullptr;  // the endpoint's context, on TCP with TLS
  bool tcp = false;
  size_t active = 0;   // guarded by the endpoint's mutex_: signed-in connections
  size_t pending = 0;  // guarded by the endpoint's mutex_: connections before their hello
};

struct ServerEndpoint::Connection {
  Connection(Listener& l, UniqueFd fd, std::string p)
      : listener(l), socket(std::move(fd)), peer(std::move(p)) {}
  Listener& listener;
  FrameSocket socket;
  const std::string peer;  // for the log
  const std::chrono::steady_clock::time_point accepted = std::chrono::steady_clock::now();
  enum class Stage { kPending, kSignedIn, kSentAway };
  Stage stage = Stage::kPending;  // guarded by the endpoint's mutex_
  bool open = true;       // guarded by the endpoint's mutex_: the descriptor is still ours
  bool finished = false;  // guarded by the endpoint's mutex_: the thread touches it no more
  std::thread thread;
};

ServerEndpoint::ServerEndpoint(EndpointOptions options, Factory factory,
                               ObjectCountHandler on_object_count)
    : options_(std::move(options)),
      factory_(std::move(factory)),
      on_object_count_(std::move(on_object_count)) {
  // Taken over at once, so that they close whatever fails below.
  std::vector<UniqueFd> inherited;
  for (int fd : options_.inherited_listeners) inherited.emplace_back(fd);
  if (!options_.unix_enabled && !options_.tcp_listen && inherited.empty()) {
    throw Error("No listener was asked for");
  }
  if (options_.tls) tls_ = MakeServerContext(*options_.tls);
  if (!inherited.empty()) {
    for (UniqueFd& fd : inherited) {
      const int family = SocketFamily(fd.get());
      if (family == AF_UNIX) {
        std::filesystem::path path = UnixSocketPath(fd.get());
        AddUnixListener(std::move(fd), std::move(path));
      } else if (family == AF_INET || family == AF_INET6) {
        AddTcpListener(std::move(fd));
      } else {
        throw Error("A socket handed over is neither a local nor a TCP socket");
      }
    }
  } else {
    if (options_.tcp_listen) {
      const Address address = ParseTcpAddress(*options_.tcp_listen);
      // Checked before anything is bound.
      RefusePlaintextBeyondLoopback("TCP " + address.ToString(), IsLoopback(address));
      AddTcpListener(ListenTcp(address, kBacklog));
    }
    if (options_.unix_enabled) {
      unix_path_ = options_.unix_path.empty() ? DefaultSocketPath() : options_.unix_path;
      unix_lock_ = LockSocketPath(unix_path_);
      UniqueFd fd = ListenUnix(unix_path_, options_.unix_group ? 0660 : 0600, options_.unix_group,
                               kBacklog);
      if (options_.unix_group) LetGroupThrough(unix_path_.parent_path(), *options_.unix_group);
      AddUnixListener(std::move(fd), unix_path_);
    }
  }
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Error(std::string("Cannot create a pipe: ") + std::strerror(errno));
  }
  wake_read_.Reset(pipe_fds[0]);
  wake_write_.Reset(pipe_fds[1]);
  acceptor_ = std::thread(&ServerEndpoint::AcceptLoop, this);
}

void ServerEndpoint::AddTcpListener(UniqueFd fd) {
  const bool has_secret = options_.tcp_secret && !options_.tcp_secret->empty();
  const bool client_certificates = options_.tls && options_.tls->client_ca;
  if (!has_secret && !client_certificates) {
    throw Error("A TCP listener needs a shared secret, or TLS with client certificates");
  }
  const std::string name = "TCP " + BoundName(fd.get());
  RefusePlaintextBeyondLoopback(name, IsLoopback(ParseTcpAddress(BoundName(fd.get()))));
  Listener& tcp = listeners_.emplace_back();
  tcp.fd = std::move(fd);
  tcp.name = name + (tls_ ? " with TLS" : "");
  if (has_secret) tcp.secret = options_.tcp_secret;
  tcp.tls = tls_.get();
  tcp.tcp = true;
  tcp_port_ = BoundPort(tcp.fd.get());
}

void ServerEndpoint::RefusePlaintextBeyondLoopback(const std::string& name, bool loopback) const {
  if (tls_ || options_.allow_plaintext || loopback) return;
  throw Error("Refusing to listen on " + name +
              " in plain text: the secret and every packet would cross the network readable. "
              "Give --tls-cert and --tls-key, or --allow-plaintext");
}

void ServerEndpoint::AddUnixListener(UniqueFd fd, std::filesystem::path path) {
  Listener& local = listeners_.emplace_back();
  local.fd = std::move(fd);
  local.name = "unix:" + path.string();
  local.secret = options_.unix_secret;
  if (unix_path_.empty()) unix_path_ = std::move(path);
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
    if (unix_lock_.valid()) ::unlink(unix_path_.c_str());  // not a socket handed over
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
  UniqueFd fd(accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd.valid()) return;  // the peer gave up before we got to it, or we ran out of descriptors
  if (listener.tcp) {
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    EnableKeepAlive(fd.get());
  }
  std::string peer = PeerName(fd.get(), listener.tcp);
  MutexLock lock(mutex_);
  if (listener.pending >= options_.limits.max_pending) {
    // The waiting room is full: the connection that has waited longest
    // (the list is in order of arrival) leaves it for the newcomer. A peer
    // that says hello at once is thus never kept out by peers that do not.
    for (Connection& c : connections_) {
      if (&c.listener == &listener && c.stage == Connection::Stage::kPending && c.open) {
        c.stage = Connection::Stage::kSentAway;
        --listener.pending;
        c.socket.Shutdown();
        log::Info("connection from " + c.peer + " on " + listener.name +
                  " closed: it had not said hello when the waiting room (" +
                  std::to_string(options_.limits.max_pending) + ") was needed");
        break;
      }
    }
  }
  log::Debug("connection from " + peer + " on " + listener.name);
  ++listener.pending;
  Connection& c = connections_.emplace_back(listener, std::move(fd), std::move(peer));
  c.thread = std::thread(&ServerEndpoint::Serve, this, std::ref(c));
}

bool ServerEndpoint::SignIn(Connection& c) {
  MutexLock lock(mutex_);
  if (c.stage != Connection::Stage::kPending) return false;
  if (c.listener.active >= options_.limits.max_connections) return false;
  c.stage = Connection::Stage::kSignedIn;
  --c.listener.pending;
  ++c.listener.active;
  return true;
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

size_t ServerEndpoint::ObjectCountChanged(int delta) {
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
  return count;
}

namespace {

// What a session needs of its connection and endpoint.
struct SessionContext {
  const Limits& limits;
  const std::optional<std::string>& secret;
  const ServerEndpoint::Factory& factory;
  std::string where;  // "PEER on LISTENER", for the log
  std::function<bool()> sign_in;
  std::function<size_t(int)> count_changed;  // answers the count of objects alive now
  std::string listener_name;
  // The hello (and the TLS handshake before it) must be done by then.
  std::chrono::steady_clock::time_point hello_deadline;
};

// Why a read ended, for the log; empty for a peer that simply closed.
std::string ReadEnd(FrameSocket::ReadResult result, const Limits& limits) {
  using R = FrameSocket::ReadResult;
  switch (result) {
    case R::kFrame:
    case R::kClosed: return {};
    case R::kTruncated: return "the stream ended inside a frame";
    case R::kTooLarge:
      return "malformed frame: longer than the limit of " + std::to_string(limits.max_frame_size) +
             " bytes";
    case R::kEmpty: return "malformed frame: empty";
    case R::kTimeout: return "a frame did not arrive whole in time";
    case R::kError: return "the socket failed";
  }
  return {};
}

std::string StatusText(HResult status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<uint32_t>(status));
  return text;
}

// Above this, a frame or a reply is large enough that the memory it took
// is handed back to the system once the call is done.
constexpr size_t kLargeExchange = size_t{4} << 20;

// One connection's conversation, on the connection's own thread.
class Session {
 public:
  Session(FrameSocket& socket, SessionContext context)
      : socket_(socket), context_(std::move(context)), limits_(context_.limits) {}

  ~Session() { ReleaseObject(); }

  void Run() {
    if (!Send(wire::Welcome{})) return;
    if (!Handshake()) return;
    log::Info("connection from " + context_.where + " signed in");
    std::vector<uint8_t> body;
    FrameSocket::ReadResult result;
    while ((result = socket_.ReadFrame(body, limits_.max_frame_size, {}, limits_.frame_timeout)) ==
           FrameSocket::ReadResult::kFrame) {
      wire::ClientFrame frame;
      try {
        frame = wire::DecodeClientFrame(body);
      } catch (const Error& e) {
        ProtocolError(std::string("Malformed frame: ") + e.what());
        return;
      }
      const bool large = body.capacity() > kLargeExchange;
      // The frame's bytes are decoded: they need not outlive the call.
      if (large) std::vector<uint8_t>().swap(body);
      const bool go_on = std::visit([this](auto& f) { return Handle(f); }, frame);
      frame = wire::GetTypeInfo{};
      if (large || sent_large_) {
        sent_large_ = false;
        malloc_trim(0);
      }
      if (!go_on) return;
    }
    if (const std::string why = ReadEnd(result, limits_); !why.empty()) {
      log::Info("connection from " + context_.where + " closed: " + why);
    }
  }

 private:
  Deadline WriteDeadline() const { return std::chrono::steady_clock::now() + limits_.frame_timeout; }

  bool Send(const wire::ServerFrame& frame) { return SendBody(wire::EncodeBody(frame)); }

  // A body that fits one frame goes as one; a larger one in parts, each
  // with its own deadline, straight from the encoded body.
  bool SendBody(std::vector<uint8_t> body) {
    if (body.size() <= wire::kMaxSingleReplySize) {
      return socket_.WriteAll(wire::Prefixed(std::move(body)), WriteDeadline());
    }
    sent_large_ = true;
    const std::span<const uint8_t> all(body);
    for (size_t at = 0; at < all.size(); at += wire::kReplyPartSize) {
      const size_t n = std::min(wire::kReplyPartSize, all.size() - at);
      const Deadline deadline = WriteDeadline();
      if (!socket_.WriteAll(wire::ReplyPartHead(all.size(), n), deadline) ||
          !socket_.WriteAll(all.subspan(at, n), deadline)) {
        return false;
      }
    }
    return true;
  }

  // Told to the peer before its connection closes.
  bool ProtocolError(const std::string& description) {
    log::Info("connection from " + context_.where + " refused: " + description);
    Send(Refusal(wire::kStatusProtocolError, description));
    return false;
  }

  bool Refuse(HResult status, const std::string& description, const std::string& reason) {
    log::Info("connection from " + context_.where + " refused: " + reason);
    Send(Refusal(status, description));
    return false;
  }

  bool Handshake() {
    std::vector<uint8_t> body;
    const FrameSocket::ReadResult result = socket_.ReadFrame(
        body, limits_.max_frame_size, context_.hello_deadline, limits_.frame_timeout);
    if (result != FrameSocket::ReadResult::kFrame) {
      std::string why = result == FrameSocket::ReadResult::kTimeout ? "no hello in time"
                                                                    : ReadEnd(result, limits_);
      if (!why.empty()) log::Info("connection from " + context_.where + " refused: " + why);
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
      return Refuse(wire::kStatusVersionMismatch,
                    "Protocol version " + std::to_string(hello->version) +
                        " is not supported; this server speaks version " +
                        std::to_string(wire::kProtocolVersion),
                    "protocol version " + std::to_string(hello->version));
    }
    if (context_.secret && !SameSecret(*context_.secret, hello->secret)) {
      return Refuse(E_ACCESSDENIED, "Access denied: the shared secret is missing or wrong",
                    "wrong secret");
    }
    if (!context_.sign_in()) {
      return Refuse(wire::kStatusServerTooBusy,
                    "The server is busy: " + context_.listener_name + " serves at most " +
                        std::to_string(limits_.max_connections) + " connections at once",
                    "busy");
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
      object_ = context_.factory();
    } catch (const std::exception& e) {
      log::Info("object for " + context_.where + " could not be created: " + e.what());
      return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, e.what()));
    } catch (...) {
      return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, "The object could not be created"));
    }
    if (!object_) return Send(Refusal(CO_E_SERVER_EXEC_FAILURE, "The object could not be created"));
    const size_t alive = context_.count_changed(+1);
    log::Info("object created for " + context_.where + " (" + std::to_string(alive) + " alive)");
    return Send(wire::StatusReply{});
  }

  bool Handle(wire::CallRequest& f) {
    if (!object_) return ProtocolError("A call needs an object: create one first");
    const server::MethodDef* method = f.target == wire::CallTarget::kSlot
                                          ? server::MethodBySlot(f.id)
                                          : server::MethodByDispid(f.id);
    if (!method) {
      log::Debug("call " + std::to_string(f.id) + " from " + context_.where + ": no such member");
      return Send(wire::CallReply{DISP_E_MEMBERNOTFOUND, std::nullopt, {}, std::nullopt});
    }
    // Built in place and encoded once: a result of hundreds of megabytes is
    // never copied.
    std::vector<uint8_t> body;
    HResult status;
    {
      wire::ServerFrame frame{wire::CallReply{}};
      wire::CallReply& reply = std::get<wire::CallReply>(frame);
      server::CallOutcome outcome = Invoke(*method, f.args);
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
      f.args.clear();
      status = reply.status;
      body = wire::EncodeBody(frame);
    }
    if (body.size() > limits_.max_reply_size) {
      const std::string why = "The reply of " + std::string(method->name) + " is " +
                              std::to_string(body.size()) + " bytes, more than the server's limit of " +
                              std::to_string(limits_.max_reply_size) +
                              " bytes (--max-reply-size): fetch the rows in slices (AS_GetRecords "
                              "with a Count) or ask for fewer at once";
      log::Info("reply to " + context_.where + " not sent: " + why);
      std::vector<uint8_t>().swap(body);
      sent_large_ = true;
      return Send(wire::CallReply{wire::kStatusReplyTooLarge, std::nullopt, {},
                                  TransportError(why)});
    }
    log::Debug("call " + std::string(method->name) + " from " + context_.where + ": status " +
               StatusText(status) + ", reply " + std::to_string(body.size()) + " bytes");
    return SendBody(std::move(body));
  }

  server::CallOutcome Invoke(const server::MethodDef& method, std::vector<Variant>& args) {
    server::CallOutcome outcome;
    try {
      outcome = object_->Invoke(method, args);
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
    return outcome;
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
    const size_t alive = context_.count_changed(-1);
    log::Info("object released for " + context_.where + " (" + std::to_string(alive) + " alive)");
  }

  FrameSocket& socket_;
  SessionContext context_;
  const Limits& limits_;
  std::unique_ptr<server::ObjectChannel> object_;
  bool sent_large_ = false;  // a large reply left since the last trim
};

}  // namespace

void ServerEndpoint::Serve(Connection& c) {
  try {
    const std::string where = c.peer + " on " + c.listener.name;
    const auto hello_deadline = c.accepted + options_.limits.hello_timeout;
    bool ready = true;
    if (c.listener.tls) {
      try {
        c.socket.UseTls(AcceptTls(*c.listener.tls, c.socket.fd(), hello_deadline));
      } catch (const Error& e) {
        log::Info("connection from " + where + " refused: TLS failure: " + e.message());
        ready = false;
      }
    }
    if (ready) {
      Session session(c.socket,
                      SessionContext{options_.limits, c.listener.secret, factory_, where,
                                     [this, &c] { return SignIn(c); },
                                     [this](int delta) { return ObjectCountChanged(delta); },
                                     c.listener.name, hello_deadline});
      session.Run();
    }
  } catch (...) {
    // Whatever went wrong ends this connection only; its object has been
    // released by the session's destructor.
  }
  {
    MutexLock lock(mutex_);
    c.open = false;
    c.socket = FrameSocket(UniqueFd());
    if (c.stage == Connection::Stage::kPending) --c.listener.pending;
    if (c.stage == Connection::Stage::kSignedIn) --c.listener.active;
    c.finished = true;
  }
  Wake();
}

}  // namespace orvala::transport
