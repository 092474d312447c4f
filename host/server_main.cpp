// orvala-server: the Orvala App Server program.
//
// It registers its class at every start, then serves remote objects on the
// local socket (and on TCP when asked) until it is stopped, or, when a
// client started it on demand (-Embedding), until its last object is gone.
#include <grp.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QTimer>

#include "common/error.h"
#include "common/log.h"
#include "driver/administrator.h"
#include "driver/connection.h"
#include "driver/firebird_root.h"
#include "host/main_window.h"
#include "host/registration.h"
#include "host/server_options.h"
#include "http/http_endpoint.h"
#include "http/metrics.h"
#include "registry/database_location.h"
#include "server/orvala.h"
#include "server/type_library.h"
#include "transport/server_endpoint.h"
#include "transport/socket_activation.h"

namespace {

using namespace orvala;

std::filesystem::path Executable() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path("orvala-server") : path;
}

// The stored location and whether the database answers there: what the
// administration window shows, for a server without a display.
int ShowLocation(const registry::Registry& registry) {
  const std::string location = registry::ReadDatabaseLocation(registry);
  std::printf("Database location: %s\n", location.empty() ? "(none stored)" : location.c_str());
  if (location.empty()) return 1;
  try {
    driver::Connection connection;
    connection.SetParam("Database", location);
    driver::UseAdministrator(connection);
    connection.Open();
    std::printf("The database can be reached.\n");
    return 0;
  } catch (const Error& e) {
    std::printf("Impossibile connettersi al database.\n%s\n", e.message());
    return 1;
  }
}

// --set-location: what the administration window's "Salva posizione" does,
// for a server without a display. Like the window, an empty location
// stores nothing; unlike the window, the command says so.
int SetLocation(const registry::Registry& registry, const std::string& given) {
  const host::LocationToStore choice =
      host::ResolveLocationToStore(given, std::filesystem::current_path());
  if (choice.location.empty()) {
    std::fprintf(stderr, "orvala-server: nothing stored: the location given is empty\n");
    const std::string kept = registry::ReadDatabaseLocation(registry);
    std::fprintf(stderr, "The stored location is unchanged: %s\n",
                 kept.empty() ? "(none stored)" : kept.c_str());
    return 1;
  }
  registry::WriteDatabaseLocation(registry, choice.location);
  std::printf("Database location stored: %s\n", choice.location.c_str());
  if (choice.local_file && !choice.exists) {
    std::fprintf(stderr,
                 "orvala-server: warning: there is no database file at %s; clients cannot open "
                 "the database until there is one\n",
                 choice.location.c_str());
  }
  return 0;
}

// /regserver and /unregserver: the entries written or removed, and where;
// after a failure, those written before it.
void PrintRegistration(host::StartMode mode, const host::RegistrationReport& report,
                       bool complete) {
  const bool registering = mode == host::StartMode::RegisterAndEnd;
  const char* prog_id = server::Library().prog_id;
  const size_t count = report.changes.size();
  if (!complete) {
    if (count == 0) return;
    std::printf("Written in %s before the failure:\n", report.hive.c_str());
  } else if (count == 0) {
    std::printf("Nothing to remove: %s is not registered in %s\n", prog_id, report.hive.c_str());
    return;
  } else {
    std::printf("%s %s %s %s (HKEY_CLASSES_ROOT), %zu entr%s:\n",
                registering ? "Registered" : "Unregistered", prog_id,
                registering ? "in" : "from", report.hive.c_str(), count, count == 1 ? "y" : "ies");
  }
  for (const std::string& change : report.changes) {
    std::printf("  %s %s\n", registering ? "wrote" : "removed", change.c_str());
  }
}

std::chrono::seconds EmbeddingGrace() {
  const char* configured = std::getenv("ORVALA_EMBEDDING_GRACE_SECONDS");
  return std::chrono::seconds(configured ? std::atoi(configured) : 60);
}

// Decides when the server ends: on SIGTERM, SIGINT or SIGHUP, and, when a
// client started it on demand, after its last object (or when no client
// came within the grace period).
class Lifetime {
 public:
  Lifetime(bool by_com, const transport::ServerEndpoint* endpoint)
      : by_com_(by_com), endpoint_(endpoint), started_(std::chrono::steady_clock::now()) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGHUP);
  }

  // Signals go to whichever thread waits for them here; every thread
  // started after this inherits the mask.
  void BlockSignals() { pthread_sigmask(SIG_BLOCK, &signals_, nullptr); }
  void set_endpoint(const transport::ServerEndpoint* endpoint) { endpoint_ = endpoint; }

  void ObjectCount(size_t count) {
    if (count > 0) ever_served_ = true;
    if (count == 0 && by_com_) last_object_gone_ = true;
  }

  // Waits up to `wait` for a signal; true when the server should end.
  bool ShouldEnd(std::chrono::milliseconds wait) {
    const timespec tick{static_cast<time_t>(wait.count() / 1000),
                        static_cast<long>(wait.count() % 1000) * 1'000'000};
    if (sigtimedwait(&signals_, nullptr, &tick) > 0) {
      // There is no one to ask, as the window would: say what is ending.
      if (const size_t alive = endpoint_ ? endpoint_->object_count() : 0; alive > 0) {
        std::fprintf(stderr, "orvala-server: ending with %zu remote object(s) still alive\n", alive);
      }
      return true;
    }
    if (by_com_ && last_object_gone_) return true;
    return by_com_ && !ever_served_ && std::chrono::steady_clock::now() - started_ > EmbeddingGrace();
  }

 private:
  sigset_t signals_;
  bool by_com_;
  const transport::ServerEndpoint* endpoint_;
  std::chrono::steady_clock::time_point started_;
  std::atomic<bool> last_object_gone_{false};
  std::atomic<bool> ever_served_{false};
};

transport::EndpointOptions EndpointOptionsFor(const host::ServerOptions& options) {
  transport::EndpointOptions endpoint_options;
  // Started by the service manager with its sockets: those are served in
  // place of the server's own.
  for (UniqueFd& fd : transport::TakeActivationSockets()) {
    endpoint_options.inherited_listeners.push_back(fd.Release());
  }
  if (!endpoint_options.inherited_listeners.empty()) {
    log::Info("serving the " + std::to_string(endpoint_options.inherited_listeners.size()) +
              " listening socket(s) passed by the service manager");
  }
  endpoint_options.tcp_listen = options.listen;
  endpoint_options.limits = options.limits;
  endpoint_options.allow_plaintext = options.allow_plaintext;
  endpoint_options.tls = options.TlsFiles();
  if (options.secret_file) endpoint_options.tcp_secret = transport::ReadSecretFile(*options.secret_file);
  if (options.socket_group) {
    const group* g = getgrnam(options.socket_group->c_str());
    if (!g) throw Error("Unknown group: " + *options.socket_group);
    endpoint_options.unix_group = g->gr_gid;
  }
  return endpoint_options;
}

bool HasDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

int Serve(const host::ServerOptions& options, const registry::Registry& registry, int argc,
          char** argv) {
  Lifetime lifetime(options.mode == host::StartMode::ByCom, nullptr);
  lifetime.BlockSignals();
  const bool windows = !options.headless && HasDisplay();
  std::unique_ptr<QApplication> app;
  if (windows) {
    app = std::make_unique<QApplication>(argc, argv);
    host::SetApplicationTitle();
  }
  // The catalogue and report modules come with the process state, before
  // any remote object can exist.
  server::ServerProcess process(registry);
  http::Metrics metrics;
  // The server ends after its last object over either transport.
  std::atomic<size_t> socket_objects{0}, http_objects{0};
  auto counted = [&](http::Transport transport, size_t count) {
    (transport == http::Transport::Socket ? socket_objects : http_objects) = count;
    metrics.SetObjects(transport, count);
    lifetime.ObjectCount(socket_objects + http_objects);
  };
  auto factory = [&process, &metrics](http::Transport transport) {
    return [&process, &metrics, transport]() -> std::unique_ptr<server::ObjectChannel> {
      return std::make_unique<http::MeteredChannel>(std::make_unique<server::TOrvala>(process),
                                                    metrics, transport);
    };
  };
  const transport::EndpointOptions endpoint_options = EndpointOptionsFor(options);
  transport::ServerEndpoint endpoint(
      endpoint_options, factory(http::Transport::Socket),
      [&counted](size_t count) { counted(http::Transport::Socket, count); });
  lifetime.set_endpoint(&endpoint);
  std::unique_ptr<http::HttpEndpoint> web;
  if (options.http) {
    // The HTTP library writes TLS records with write(), which raises
    // SIGPIPE when a client vanishes mid-reply: ignored, the write fails
    // and only that connection ends.
    signal(SIGPIPE, SIG_IGN);
    http::HttpOptions http_options;
    http_options.listen = *options.http;
    http_options.secret = endpoint_options.tcp_secret;
    http_options.tls = endpoint_options.tls;
    http_options.allow_plaintext = options.allow_plaintext;
    http_options.limits = options.limits;
    http_options.idle_timeout = std::chrono::seconds(options.http_idle_seconds);
    http_options.web_root = options.web_root.value_or(ORVALA_WEB_ROOT);
    http_options.database_location = [&registry] {
      return registry::ReadDatabaseLocation(registry);
    };
    web = std::make_unique<http::HttpEndpoint>(
        std::move(http_options), factory(http::Transport::Http), metrics,
        [&counted](size_t count) { counted(http::Transport::Http, count); });
  }
  {
    std::string serving = "serving on " + (endpoint.unix_path().empty() ? std::string("no local socket")
                                                                         : endpoint.unix_path().string());
    if (endpoint.tcp_port()) {
      serving += " and TCP port " + std::to_string(*endpoint.tcp_port()) +
                 (options.tls_cert ? " with TLS" : "") +
                 (options.tls_client_ca ? " and client certificates" : "");
    }
    if (web) {
      serving += " and HTTP port " + std::to_string(web->port()) +
                 (options.tls_cert ? " with TLS" : "") +
                 (options.tls_client_ca ? " and client certificates" : "");
    }
    const std::string location = registry::ReadDatabaseLocation(registry);
    log::Info(serving + "; database " + (location.empty() ? "(no location stored)" : location) +
              "; at most " + std::to_string(options.limits.max_connections) +
              " connections per listener");
  }

  if (windows) {
    host::TfmMain main_window(process.sessions(), registry);
    main_window.set_live_object_count(
        [&endpoint, &web] { return endpoint.object_count() + (web ? web->object_count() : 0); });
    main_window.ShowAtStart();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (lifetime.ShouldEnd(std::chrono::milliseconds(0))) QCoreApplication::quit();
    });
    poll.start(200);
    app->exec();
  } else {
    while (!lifetime.ShouldEnd(std::chrono::milliseconds(200))) {
    }
  }
  if (web) web->Stop();
  endpoint.Stop();  // releases every object: open transactions roll back, connections close
  log::Info("ended");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace orvala;
  driver::EnsureFirebirdRoot();
  // Buffers of a megabyte or more (frames, packets) are mapped on their
  // own, so that their memory goes back to the system when they are freed
  // instead of staying in the heap after a large call.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  host::ServerOptions options;
  try {
    options = host::ParseServerOptions(argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "orvala-server: %s\n%s", e.message(), host::ServerUsage());
    return 2;
  }
  if (options.help) {
    std::printf("%s", host::ServerUsage());
    return 0;
  }
  log::Configure(options.log_level, "orvala-server");
  const registry::Registry registry(registry::Registry::DefaultDirectory());
  try {
    if (options.show_location) return ShowLocation(registry);
    if (options.set_location) return SetLocation(registry, *options.set_location);
    const bool registration_only = options.mode == host::StartMode::RegisterAndEnd ||
                                   options.mode == host::StartMode::UnregisterAndEnd;
    host::RegistrationReport report;
    try {
      if (options.mode == host::StartMode::UnregisterAndEnd) {
        host::UnregisterServer(registry, &report);
      } else {
        host::RegisterServer(registry, Executable(), &report);
      }
    } catch (const Error& e) {
      // An entry that cannot be written matters only when registering was
      // all that was asked; the type library's failure ends every start.
      const bool entry = e.kind() == ErrorKind::RegistryEntry;
      if (registration_only) PrintRegistration(options.mode, report, false);
      if (!entry || options.mode == host::StartMode::RegisterAndEnd) throw;
    }
    if (registration_only) {
      PrintRegistration(options.mode, report, true);
      return 0;
    }
    return Serve(options, registry, argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "orvala-server: %s\n", e.message());
    return 1;
  }
}
