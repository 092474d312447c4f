// The server side of the transport: the listeners and, for every accepted
// connection, one remote object on a thread of its own.
//
// A connection (on TCP with TLS, when the endpoint has it) says hello
// (protocol version and, where the listener asks for one, the shared
// secret), asks for an object by CLSID, and then makes its calls one at a
// time. Until its hello it waits in a room of its own (Limits). The object is created by the factory on the
// connection's own thread, serves every call there, and is destroyed there
// when the client releases it, closes the connection or vanishes. Input
// the endpoint cannot understand closes that one connection; it never
// touches another.
//
// Thread safety: the public methods may be called from any thread, except
// that Stop() (and the destructor) must not be called from the factory or
// from the object-count handler, which run on connection threads. The
// factory and the handler are called from several threads at once.
// The listeners, the TLS context and the options are set before the
// acceptor starts and only read until Stop() has joined every thread; the
// connections and the object count are guarded by mutex_.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/object_channel.h"
#include "transport/limits.h"
#include "transport/socket.h"
#include "transport/tls.h"
#include "transport/wire.h"

namespace orvala::transport {

struct EndpointOptions {
  // The local socket; empty means <RuntimeDir()>/orvala.sock.
  std::filesystem::path unix_path;
  bool unix_enabled = true;
  // When set, members of this group may connect too (mode 0660).
  std::optional<gid_t> unix_group;
  // Optional for the local socket, whose file mode is its main guard.
  std::optional<std::string> unix_secret;

  // "ADDR:PORT"; no TCP listener unless given. A TCP listener requires
  // `tcp_secret` (see ReadSecretFile), or TLS with client certificates
  // (`tls->client_ca`), or both.
  std::optional<std::string> tcp_listen;
  std::optional<std::string> tcp_secret;
  // TLS on every TCP listener. Without it a TCP listener on an address
  // other than loopback is refused unless `allow_plaintext`.
  std::optional<TlsServerFiles> tls;
  bool allow_plaintext = false;

  // Listening sockets handed over by the service manager (see
  // socket_activation.h): when there are any, they are served in place of
  // the local socket and `tcp_listen`, each with the guards of its kind.
  // The endpoint owns them from the constructor on.
  std::vector<int> inherited_listeners;

  Limits limits;
};

// The default local socket: <RuntimeDir()>/orvala.sock.
std::filesystem::path DefaultSocketPath();

// Reads a shared secret from a file that only its owner may read; the
// trailing line break is dropped. Throws Error when the file is missing,
// empty, or readable by others.
std::string ReadSecretFile(const std::filesystem::path& path);

class ServerEndpoint {
 public:
  using Factory = std::function<std::unique_ptr<server::ObjectChannel>()>;
  using ObjectCountHandler = std::function<void(size_t)>;

  // Opens the listeners and starts accepting. Throws Error when a listener
  // cannot be opened, when TCP is asked for without a secret or client
  // certificates, or in plain text beyond loopback without leave, when the
  // TLS files cannot be read, or when another live server already serves
  // the local socket.
  ServerEndpoint(EndpointOptions options, Factory factory, ObjectCountHandler on_object_count = {});
  ~ServerEndpoint();
  ServerEndpoint(const ServerEndpoint&) = delete;
  ServerEndpoint& operator=(const ServerEndpoint&) = delete;

  // Closes the listeners, disconnects every client (a call in progress
  // finishes first), releases every object on its own thread and joins all
  // threads. Idempotent.
  void Stop();

  const std::filesystem::path& unix_path() const { return unix_path_; }
  // The bound TCP port (useful with port 0), when listening on TCP.
  std::optional<uint16_t> tcp_port() const { return tcp_port_; }
  // Remote objects alive now.
  size_t object_count() const;

 private:
  struct Listener;
  struct Connection;

  void AddTcpListener(UniqueFd fd);
  void RefusePlaintextBeyondLoopback(const std::string& name, bool loopback) const;
  void AddUnixListener(UniqueFd fd, std::filesystem::path path);
  void AcceptLoop();
  void Accept(Listener& listener) EXCLUDES(mutex_);
  void Serve(Connection& connection) EXCLUDES(mutex_);
  // Moves a connection that said hello from the waiting room to the
  // listener's served connections; false when those are all taken (or the
  // connection was sent away meanwhile).
  bool SignIn(Connection& connection) EXCLUDES(mutex_);
  void ReapFinished() EXCLUDES(mutex_);
  // Answers the count of objects alive after the change.
  size_t ObjectCountChanged(int delta) EXCLUDES(report_mutex_, mutex_);
  void Wake();

  EndpointOptions options_;
  Factory factory_;
  ObjectCountHandler on_object_count_;

  std::filesystem::path unix_path_;
  UniqueFd unix_lock_;  // held while this endpoint serves unix_path_
  std::optional<uint16_t> tcp_port_;
  std::list<Listener> listeners_;
  SslContext tls_;  // for the TCP listeners, when TLS is on
  UniqueFd wake_read_, wake_write_;

  Mutex report_mutex_;  // taken before mutex_; one object-count report at a time
  mutable Mutex mutex_;
  // Each connection's `open`, `stage` and `finished`, and its listener's
  // `active` and `pending` counts, are guarded by mutex_ too (the analysis cannot name the mutex
  // of the object that holds them).
  std::list<Connection> connections_ GUARDED_BY(mutex_);
  size_t objects_ GUARDED_BY(mutex_) = 0;
  std::atomic<bool> stopping_{false};
  std::once_flag stopped_;
  std::thread acceptor_;
};

}  // namespace orvala::transport
