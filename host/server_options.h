// The server program's command line: the start-mode switches ("-Embedding",
// "/regserver", ...) and the operator's options.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "host/registration.h"
#include "transport/limits.h"
#include "transport/tls.h"

namespace orvala::host {

struct ServerOptions {
  StartMode mode = StartMode::ByHand;
  bool headless = false;                  // --headless, or no display
  std::optional<std::string> listen;      // --listen ADDR:PORT (TCP, off by default)
  std::optional<std::string> secret_file; // --secret-file FILE (required with --listen)
  std::optional<std::string> socket_group;  // --socket-group GROUP (mode 0660)
  // TLS on the TCP listener: --tls-cert FILE --tls-key FILE, and
  // --tls-client-ca FILE to ask clients for a certificate.
  std::optional<std::string> tls_cert, tls_key, tls_client_ca;
  bool allow_plaintext = false;           // --allow-plaintext: TCP beyond loopback without TLS
  // --max-connections N, --max-pending N, --max-frame-size SIZE,
  // --max-reply-size SIZE, --hello-timeout SECONDS, --frame-timeout SECONDS
  transport::Limits limits;
  log::Level log_level = log::Level::kInfo;  // --log-level info|debug
  std::optional<std::string> http;        // --http ADDR:PORT (the web transport; TLS and limits as TCP's)
  int http_idle_seconds = 30 * 60;        // --http-idle-timeout SECONDS: an unused object is released
  std::optional<std::string> web_root;    // --web-root DIR: the console's files
  bool show_location = false;             // --show-location: print it and whether it answers
  std::optional<std::string> set_location;  // --set-location PATH: store it and end
  bool help = false;

  // The TLS files of --tls-cert, --tls-key and --tls-client-ca, for every
  // listener that speaks TLS; nullopt without --tls-cert.
  std::optional<transport::TlsServerFiles> TlsFiles() const;
};

// Read with CLI11, as orvala-cli reads its own. The options are long ones
// ("--listen ADDR", also "--listen=ADDR"); "-h" is --help; any other
// argument that begins with one "-" or a "/" is a start-mode switch.
// Fails with an Error naming the argument it cannot take.
ServerOptions ParseServerOptions(int argc, const char* const argv[]);

const char* ServerUsage();

// What --set-location stores for the text it was given. The server and its
// clients run in other folders than the operator's shell, so a file name
// on this machine is stored as an absolute path; a name on a database
// server ("host:/srv/orvala.fdb", "inet://host/orvala") is stored as given.
struct LocationToStore {
  std::string location;     // empty: nothing is to be stored
  bool local_file = false;  // a file on this machine, made absolute
  bool exists = false;      // for a local file: whether there is one there
};
LocationToStore ResolveLocationToStore(std::string_view given,
                                       const std::filesystem::path& working_dir);

}  // namespace orvala::host
