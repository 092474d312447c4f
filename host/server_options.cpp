#include "host/server_options.h"

#include <CLI/CLI.hpp>

#include <system_error>

#include "common/error.h"

namespace orvala::host {

const char* ServerUsage() {
  return "usage: orvala-server [--headless] [--listen ADDR:PORT --secret-file FILE]\n"
         "                     [--socket-group GROUP]\n"
         "                     [--http ADDR:PORT [--http-idle-timeout SECONDS] [--web-root DIR]]\n"
         "       orvala-server --show-location | --set-location PATH\n"
         "       orvala-server /regserver | /unregserver | -Embedding\n";
}

namespace {

// A start-mode switch ("-Embedding", "/regserver"), which ParseStartMode
// reads; an unknown one is ignored, as a start by hand ignores it.
bool IsStartModeSwitch(const std::string& arg) {
  return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && arg.rfind("--", 0) != 0;
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
  if (options.listen && !options.secret_file) {
    throw Error("--listen needs --secret-file: a TCP listener requires a shared secret");
  }
  if (options.http && !options.secret_file) {
    throw Error("--http needs --secret-file: every request must present the shared secret");
  }
  return options;
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
