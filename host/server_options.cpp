#include "host/server_options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <iterator>
#include <limits>
#include <string>
#include <system_error>

#include "common/error.h"

namespace orvala::host {

const char* ServerUsage() {
  static const std::string usage = [] {
    const transport::Limits d;
    const auto seconds = [](std::chrono::milliseconds t) { return std::to_string(t.count() / 1000); };
    std::string text =
        "usage: orvala-server [--headless] [--listen ADDR:PORT --secret-file FILE]\n"
        "                     [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n"
        "                     [--allow-plaintext] [--socket-group GROUP]\n"
        "                     [--max-connections N] [--max-pending N]\n"
        "                     [--max-frame-size SIZE] [--max-reply-size SIZE]\n"
        "                     [--hello-timeout SECONDS] [--frame-timeout SECONDS]\n"
        "                     [--log-level info|debug]\n"
        "                     [--http ADDR:PORT [--http-idle-timeout SECONDS] [--web-root DIR]]\n"
        "       orvala-server --show-location | --set-location PATH\n"
        "       orvala-server /regserver | /unregserver | -Embedding\n";
    text += "Limits of each listener (defaults): --max-connections " +
            std::to_string(d.max_connections) + " signed in, --max-pending " +
            std::to_string(d.max_pending) + " before their hello,\n  --max-frame-size " +
            std::to_string(d.max_frame_size >> 20) + "M per request, --max-reply-size " +
            std::to_string(d.max_reply_size >> 30) + "G, --hello-timeout " +
            seconds(d.hello_timeout) + ", --frame-timeout " + seconds(d.frame_timeout) +
            " (seconds).\n";
    return text;
  }();
  return usage.c_str();
}

namespace {

// A start-mode switch ("-Embedding", "/regserver"), which ParseStartMode
// reads; an unknown one is ignored, as a start by hand ignores it.
bool IsStartModeSwitch(const std::string& arg) {
  return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && arg.rfind("--", 0) != 0;
}

// A count, "64", or a size with a binary unit: "64M", "1G", "512K".
size_t ParseSize(const std::string& option, const std::string& text) {
  size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::string_view unit(end, text.data() + text.size() - end);
  int shift = -1;
  if (unit.empty()) shift = 0;
  else if (unit == "K" || unit == "k") shift = 10;
  else if (unit == "M") shift = 20;
  else if (unit == "G") shift = 30;
  if (ec != std::errc() || end == text.data() || shift < 0 || value == 0 ||
      value > (std::numeric_limits<size_t>::max() >> shift)) {
    throw Error(option + " takes a positive number, with K, M or G for a size: " + text);
  }
  return value << shift;
}

std::chrono::milliseconds ParseSeconds(const std::string& option, const std::string& text) {
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
      seconds > 86400.0 * 365) {
    throw Error(option + " takes a positive number of seconds: " + text);
  }
  return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

}  // namespace

ServerOptions ParseServerOptions(int argc, const char* const argv[]) {
  ServerOptions options;
  options.mode = ParseStartMode(argc, argv);

  // The operator's options are long ones only. What the parser does not
  // know is left over, in order: "-h", the start-mode switches and the
  // arguments that nothing takes. An option that repeats keeps its last
  // value, and a value is the next argument whatever it looks like.
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string listen, secret_file, socket_group, set_location;
  app.add_flag("--headless", options.headless);
  CLI::Option* listen_option = app.add_option("--listen", listen);
  CLI::Option* secret_option = app.add_option("--secret-file", secret_file);
  CLI::Option* group_option = app.add_option("--socket-group", socket_group);
  std::string tls_cert, tls_key, tls_client_ca, log_level;
  CLI::Option* tls_cert_option = app.add_option("--tls-cert", tls_cert);
  CLI::Option* tls_key_option = app.add_option("--tls-key", tls_key);
  CLI::Option* tls_client_ca_option = app.add_option("--tls-client-ca", tls_client_ca);
  app.add_flag("--allow-plaintext", options.allow_plaintext);
  CLI::Option* log_level_option = app.add_option("--log-level", log_level);
  // The limits, as text, read below with their own units.
  struct LimitOption {
    const char* name;
    std::string text;
    CLI::Option* option = nullptr;
  };
  LimitOption limits[] = {{"--max-connections", {}}, {"--max-pending", {}},
                          {"--max-frame-size", {}},  {"--max-reply-size", {}},
                          {"--hello-timeout", {}},   {"--frame-timeout", {}}};
  for (LimitOption& l : limits) l.option = app.add_option(l.name, l.text);
  std::string http, web_root;
  CLI::Option* http_option = app.add_option("--http", http);
  app.add_option("--http-idle-timeout", options.http_idle_seconds)->check(CLI::PositiveNumber);
  CLI::Option* web_root_option = app.add_option("--web-root", web_root);
  app.add_flag("--show-location", options.show_location);
  CLI::Option* set_location_option = app.add_option("--set-location", set_location);
  app.add_flag("--help", options.help);

  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    // The parser takes its arguments last first.
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::ArgumentMismatch&) {
    // Only the last argument can lack its value: every other one has a
    // next argument to take.
    throw Error("Missing value after " + args.back());
  } catch (const CLI::ParseError& e) {
    throw Error(e.what());
  }
  for (const std::string& arg : app.remaining()) {
    if (arg == "-h") options.help = true;
    else if (!IsStartModeSwitch(arg)) throw Error("Unknown argument: " + arg);
  }

  if (listen_option->count() > 0) options.listen = listen;
  if (secret_option->count() > 0) options.secret_file = secret_file;
  if (group_option->count() > 0) options.socket_group = socket_group;
  if (set_location_option->count() > 0) options.set_location = set_location;
  if (http_option->count() > 0) options.http = http;
  if (web_root_option->count() > 0) options.web_root = web_root;
  if (tls_cert_option->count() > 0) options.tls_cert = tls_cert;
  if (tls_key_option->count() > 0) options.tls_key = tls_key;
  if (tls_client_ca_option->count() > 0) options.tls_client_ca = tls_client_ca;
  if (options.tls_cert.has_value() != options.tls_key.has_value()) {
    throw Error("--tls-cert and --tls-key go together");
  }
  if (options.tls_client_ca && !options.tls_cert) {
    throw Error("--tls-client-ca needs --tls-cert and --tls-key");
  }
  if (log_level_option->count() > 0) {
    const std::optional<log::Level> level = log::ParseLevel(log_level);
    if (!level) throw Error("--log-level takes info or debug: " + log_level);
    options.log_level = *level;
  }
  transport::Limits& l = options.limits;
  size_t* const counts[] = {&l.max_connections, &l.max_pending, &l.max_frame_size,
                            &l.max_reply_size};
  std::chrono::milliseconds* const times[] = {&l.hello_timeout, &l.frame_timeout};
  for (size_t i = 0; i < std::size(limits); ++i) {
    if (limits[i].option->count() == 0) continue;
    if (i < std::size(counts)) *counts[i] = ParseSize(limits[i].name, limits[i].text);
    else *times[i - std::size(counts)] = ParseSeconds(limits[i].name, limits[i].text);
  }
  if (l.max_frame_size > (size_t{1} << 31)) throw Error("--max-frame-size is at most 2G");
  if (options.listen && !options.secret_file && !options.tls_client_ca) {
    throw Error(
        "--listen needs --secret-file or --tls-client-ca: a TCP listener requires a shared secret "
        "or client certificates");
  }
  if (options.http && !options.secret_file && !options.tls_client_ca) {
    throw Error(
        "--http needs --secret-file or --tls-client-ca: every request must present the shared "
        "secret or a client certificate");
  }
  return options;
}

std::optional<transport::TlsServerFiles> ServerOptions::TlsFiles() const {
  if (!tls_cert || !tls_key) return std::nullopt;
  transport::TlsServerFiles files{*tls_cert, *tls_key, std::nullopt};
  if (tls_client_ca) files.client_ca = *tls_client_ca;
  return files;
}

LocationToStore ResolveLocationToStore(std::string_view given,
                                       const std::filesystem::path& working_dir) {
  // The connection trims blanks from the name, so they are no part of it.
  const size_t first = given.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const size_t last = given.find_last_not_of(' ');
  const std::string_view name = given.substr(first, last - first + 1);

  // A protocol ("inet://", "xnet://") or a host before a colon names a
  // database behind a server; only an absolute path may hold a colon.
  const bool remote = name.front() != '/' && name.find(':') != std::string_view::npos;
  if (remote) return {std::string(name), false, false};
  const std::filesystem::path path = (working_dir / name).lexically_normal();
  std::error_code ec;
  const bool exists = std::filesystem::is_regular_file(path, ec);
  return {path.string(), true, exists};
}

}  // namespace orvala::host
