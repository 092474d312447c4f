#include "http/http_endpoint.h"

#include <httplib.h>

#include <atomic>
#include <cstring>

#include "client/cli_parser.h"
#include "common/error.h"
#include "common/log.h"
#include "http/openapi.h"
#include "server/type_library.h"
#include "transport/socket.h"

namespace orvala::http {
namespace {

using json::Json;

constexpr const char* kJson = "application/json";
constexpr const char* kCbor = "application/cbor";

// Runs every connection on a pool thread, counting the connections open.
class CountingQueue : public httplib::TaskQueue {
 public:
  CountingQueue(size_t threads, std::atomic<size_t>& active, Metrics& metrics)
      : pool_(threads), active_(active), metrics_(metrics) {}
  void enqueue(std::function<void()> fn) override {
    pool_.enqueue([this, fn = std::move(fn)] {
      ++active_;
      metrics_.ConnectionOpened(Transport::Http);
      fn();
      metrics_.ConnectionClosed(Transport::Http);
      --active_;
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
  std::atomic<size_t>& active_;
  Metrics& metrics_;
};

// Compares without telling, by the time it takes, where they first differ.
bool SameSecret(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() == secret.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ secret[i % secret.size()]);
  }
  return differ == 0;
}

void Reply(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), kJson);
}

void Problem(httplib::Response& res, int status, const std::string& message) {
  Reply(res, status, Json{{"error", message}});
}

bool WantsCbor(const httplib::Request& req) {
  return req.get_header_value("Accept").find(kCbor) != std::string::npos;
}

// The type library as the console's call form reads it.
Json MethodList() {
  Json methods = Json::array();
  for (const server::EntryDescription& entry : server::DescribeTypeLibraryAsData().entries) {
    Json args = Json::array();
    for (const server::ArgDescription& arg : entry.args) {
      args.push_back(Json{{"name", arg.name},
                          {"direction", server::ArgDirectionName(arg.direction)},
                          {"type", server::ArgTypeName(arg.type)}});
    }
    methods.push_back(Json{{"name", entry.name},
                           {"interface", server::InterfaceKindName(entry.kind)},
                           {"dispid", entry.dispid},
                           {"args", std::move(args)},
                           {"result", server::ResultTypeName(entry.result)}});
  }
  return methods;
}

}  // namespace

namespace {

// The HTTP library's server: with TLS, over a context that the transport's
// own TLS code sets up from the operator's files.
std::unique_ptr<httplib::Server> MakeServer(const HttpOptions& options) {
  if (!options.tls) return std::make_unique<httplib::Server>();
  std::string failure = "the TLS context cannot be made";
  auto server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& ctx) {
    try {
      transport::ConfigureServerContext(ctx, *options.tls);
      return true;
    } catch (const Error& e) {
      failure = e.message();
      return false;
    }
  });
  if (!server->is_valid()) throw Error(failure);
  return server;
}

}  // namespace

HttpEndpoint::HttpEndpoint(HttpOptions options, WebObjects::Factory factory, Metrics& metrics,
                           WebObjects::ObjectCountHandler on_object_count)
    : options_(std::move(options)),
      metrics_(metrics),
      objects_(std::move(factory), options_.idle_timeout, std::move(on_object_count)) {
  const bool client_certificates = options_.tls && options_.tls->client_ca;
  if (options_.secret && options_.secret->empty()) options_.secret.reset();
  if (!options_.secret && !client_certificates) {
    throw Error("the HTTP endpoint needs a secret (--secret-file) or client certificates");
  }
  const transport::Address address = transport::ParseTcpAddress(options_.listen);
  if (!options_.tls && !options_.allow_plaintext && !transport::IsLoopback(address)) {
    throw Error("--http " + options_.listen +
                " is not a loopback address: the secret would travel in the clear "
                "(--tls-cert and --tls-key give it TLS; --allow-plaintext allows it)");
  }
  server_ = MakeServer(options_);
  auto active = std::make_shared<std::atomic<size_t>>(0);
  const size_t max_connections = options_.limits.max_connections;
  server_->new_task_queue = [this, active, max_connections] {
    // One thread more than the limit, to tell the next connection so.
    return new CountingQueue(max_connections + 1, *active, metrics_);
  };
  server_->set_pre_routing_handler(
      [this, active, max_connections](const httplib::Request& req, httplib::Response& res) {
        if (*active > max_connections) {
          metrics_.Refused(Transport::Http, "connections");
          log::Info("HTTP connection from " + req.remote_addr + " refused: too many connections");
          res.set_header("Connection", "close");
          Problem(res, 503, "too many connections");
          return httplib::Server::HandlerResponse::Handled;
        }
        const bool guarded = req.path.rfind("/v1/", 0) == 0 || req.path == "/metrics";
        // As on the TCP listener: with a secret, every request presents it
        // (a client certificate too, when TLS asks for one); without, the
        // certificate that the handshake checked replaces it.
        if (!guarded || !options_.secret) return httplib::Server::HandlerResponse::Unhandled;
        const std::string authorization = req.get_header_value("Authorization");
        constexpr std::string_view kBearer = "Bearer ";
        if (authorization.rfind(kBearer, 0) != 0 ||
            !SameSecret(authorization.substr(kBearer.size()), *options_.secret)) {
          metrics_.Refused(Transport::Http, "secret");
          log::Info("HTTP request refused: " + req.method + " " + req.path + " from " +
                    req.remote_addr + " without the secret");
          res.set_header("WWW-Authenticate", "Bearer");
          Problem(res, 401, "the request does not present the server's secret");
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      });
  server_->set_payload_max_length(options_.limits.max_frame_size);
  server_->set_read_timeout(options_.limits.frame_timeout);
  server_->set_write_timeout(options_.limits.frame_timeout);
  server_->set_keep_alive_timeout(std::max<time_t>(
      1, std::chrono::duration_cast<std::chrono::seconds>(options_.limits.hello_timeout).count()));
  server_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (res.status == 413) {
      metrics_.Refused(Transport::Http, "body_size");
      log::Info("HTTP request from " + req.remote_addr + " refused: the body is too large");
    }
    log::Debug("HTTP " + req.method + " " + req.path + " " + std::to_string(res.status));
  });
  server_->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
        std::string message = "internal error";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          message = e.what();
        } catch (...) {
        }
        Problem(res, 500, message);
      });
  Route();
  if (!options_.web_root.empty() && !server_->set_mount_point("/", options_.web_root.string())) {
    throw Error("the console's folder " + options_.web_root.string() + " cannot be served");
  }
  const std::string& host = address.host;
  const int port = address.port;
  const int bound = port == 0 ? server_->bind_to_any_port(host)
                              : (server_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) throw Error("cannot listen for HTTP on " + options_.listen);
  port_ = static_cast<uint16_t>(bound);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() does nothing to a server that is not yet running: wait for it,
  // so that Stop() right after the start still ends the thread.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

HttpEndpoint::~HttpEndpoint() { Stop(); }

void HttpEndpoint::Stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
  objects_.Stop();
}

void HttpEndpoint::Route() {
  httplib::Server& s = *server_;
  s.Post("/v1/objects", [this](const httplib::Request& req, httplib::Response& res) {
    try {
      const std::string id = objects_.Create();
      log::Info("HTTP object " + id + " created for " + req.remote_addr);
      Reply(res, 201, Json{{"id", id}});
    } catch (const Error& e) {
      Problem(res, 503, std::string("the object cannot be created: ") + e.message());
    }
  });
  s.Delete(R"(/v1/objects/([0-9a-f]+))", [this](const httplib::Request& req,
                                                  httplib::Response& res) {
    if (objects_.Release(req.matches[1])) {
      log::Info("HTTP object " + std::string(req.matches[1]) + " released");
      res.status = 204;
    } else {
      Problem(res, 404, "no object " + std::string(req.matches[1]));
    }
  });
  s.Post(R"(/v1/objects/([0-9a-f]+)/calls/([A-Za-z_0-9]+))", [this](const httplib::Request& req,
                                                                      httplib::Response& res) {
    const std::string id = req.matches[1];
    const std::string name = req.matches[2];
    const server::MethodDef* method = server::MethodByName(name);
    if (!method) return Problem(res, 404, "unknown method '" + name + "'");
    Json arguments;
    if (!req.body.empty()) {
      try {
        arguments = req.get_header_value("Content-Type").rfind(kCbor, 0) == 0
                        ? Json::from_cbor(req.body)
                        : Json::parse(req.body);
      } catch (const Json::exception& e) {
        metrics_.Refused(Transport::Http, "malformed");
        return Problem(res, 400, std::string("the body is not JSON: ") + e.what());
      }
    }
    const client::PacketForm form =
        WantsCbor(req) ? client::PacketForm::Binary : client::PacketForm::Decoded;
    std::optional<Json> reply;
    try {
      reply = objects_.Run(id, [method, &arguments, form](client::CliSession& session) {
        return session.Run(client::ParseCallArguments(*method, arguments), form);
      });
    } catch (const Error& e) {
      metrics_.Refused(Transport::Http, "arguments");
      return Problem(res, 400, e.message());
    }
    if (!reply) return Problem(res, 404, "no object " + id);
    if (form == client::PacketForm::Binary) {
      const std::vector<uint8_t> bytes = Json::to_cbor(*reply);
      res.set_content(reinterpret_cast<const char*>(bytes.data()), bytes.size(), kCbor);
    } else {
      Reply(res, 200, *reply);
    }
  });
  s.Get("/v1/openapi.json", [](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, OpenApiDescription());
  });
  s.Get("/v1/methods", [](const httplib::Request&, httplib::Response& res) {
    Reply(res, 200, MethodList());
  });
  s.Get("/v1/status", [this](const httplib::Request&, httplib::Response& res) {
    Json objects{{"socket", metrics_.objects(Transport::Socket)},
                 {"http", metrics_.objects(Transport::Http)}};
    Reply(res, 200,
          Json{{"objects", objects},
               {"calls", metrics_.calls()},
               {"databaseLocation",
                options_.database_location ? options_.database_location() : std::string()}});
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics_.Text(), "text/plain; version=0.0.4");
  });
}

}  // namespace orvala::http
