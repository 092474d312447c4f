// The web transport: HTTP/1.1 (cpp-httplib) on ADDR:PORT, serving the
// remote objects (web_objects.h) as JSON, the OpenAPI description, the
// metrics and the web console. docs/http.md describes every route.
//
// Every request for /v1/... and /metrics presents the shared secret as
// "Authorization: Bearer SECRET", or (without a secret) comes over TLS with
// a client certificate of the operator's authority: a loopback port is
// open to every local user, unlike the owner-only local socket. The console's static files
// (web/) carry no data and are served to anyone, so that a browser can
// load the page that then asks for the secret.
//
// Thread safety: the constructor starts the server's threads; Stop() (and
// the destructor) may be called from any thread except a request's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <optional>
#include <thread>

#include "http/metrics.h"
#include "http/web_objects.h"
#include "transport/limits.h"
#include "transport/tls.h"

namespace httplib {
class Server;
}

namespace orvala::http {

struct HttpOptions {
  std::string listen;  // "ADDR:PORT"; port 0 picks a free one
  // What requests present as their bearer token. Required unless TLS asks
  // every client for a certificate (tls->client_ca), which then replaces
  // it; with both, a request needs both.
  std::optional<std::string> secret;
  // TLS with the TCP listener's files (transport/tls.h).
  std::optional<transport::TlsServerFiles> tls;
  // Without TLS, a listener on an address other than loopback would send
  // the secret in the clear; it is refused unless the operator allows it.
  bool allow_plaintext = false;
  // The TCP listener's limits: max_connections served at once (one more is
  // told 503), max_frame_size for a request body (a larger one is told
  // 413), frame_timeout for a request to arrive whole and a reply to
  // leave, hello_timeout for a connection to send its next request.
  transport::Limits limits;
  std::chrono::milliseconds idle_timeout{30 * 60 * 1000};  // an unused object is released
  std::filesystem::path web_root;            // the console's files; empty: no console
  // The stored database location, shown by the console's status view.
  std::function<std::string()> database_location;
};

class HttpEndpoint {
 public:
  // Binds and starts serving. Throws Error when the address cannot be
  // bound, when neither the secret nor client certificates guard it, when
  // the TLS files cannot be read, or for an address beyond loopback
  // without TLS or allow_plaintext.
  HttpEndpoint(HttpOptions options, WebObjects::Factory factory, Metrics& metrics,
               WebObjects::ObjectCountHandler on_object_count = {});
  ~HttpEndpoint();
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;

  uint16_t port() const { return port_; }
  size_t object_count() const { return objects_.count(); }

  // Stops accepting, waits for the requests in progress, releases every
  // object. Idempotent.
  void Stop();

 private:
  void Route();

  HttpOptions options_;
  Metrics& metrics_;
  WebObjects objects_;
  std::unique_ptr<httplib::Server> server_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace orvala::http
