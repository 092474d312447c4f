#include "host/server_options.h"

#include <cstring>
#include <system_error>

#include "common/error.h"

namespace orvala::host {

const char* ServerUsage() {
  return "usage: orvala-server [--headless] [--listen ADDR:PORT --secret-file FILE]\n"
         "                     [--socket-group GROUP]\n"
         "       orvala-server --show-location | --set-location PATH\n"
         "       orvala-server /regserver | /unregserver | -Embedding\n";
}

ServerOptions ParseServerOptions(int argc, const char* const argv[]) {
  ServerOptions options;
  options.mode = ParseStartMode(argc, argv);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw Error("Missing value after " + arg);
      return argv[++i];
    };
    if (arg == "--headless") options.headless = true;
    else if (arg == "--listen") options.listen = value();
    else if (arg == "--secret-file") options.secret_file = value();
    else if (arg == "--socket-group") options.socket_group = value();
    else if (arg == "--show-location") options.show_location = true;
    else if (arg == "--set-location") options.set_location = value();
    else if (arg == "--help" || arg == "-h") options.help = true;
    else if (arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && arg.rfind("--", 0) != 0) {
      // A start-mode switch; ParseStartMode read it, and an unknown one is
      // ignored as a start by hand ignores it.
    } else {
      throw Error("Unknown argument: " + arg);
    }
  }
  if (options.listen && !options.secret_file) {
    throw Error("--listen needs --secret-file: a TCP listener requires a shared secret");
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
