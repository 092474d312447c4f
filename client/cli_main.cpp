// orvala-cli: opens one remote object and runs the calls read from a file or
// from standard input, one per line, printing one JSON object per call.
//
//   orvala-cli [--inproc] [--endpoint ADDR] [--secret-file FILE]
//              [--tls-ca FILE [--tls-cert FILE --tls-key FILE]] [FILE]
//
// --inproc builds the remote object inside this process, over the same
// registry and database as the server would use. --endpoint connects to a
// server's socket path or HOST:PORT; --tls-ca speaks TLS to HOST:PORT,
// verifying the server's certificate against that authority. With neither, the object is created
// through the class registration, starting the server when none runs.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <memory>

#include "client/cli_session.h"
#include "common/error.h"
#include "registry/registry.h"
#include "server/orvala.h"
#include "server/server_process.h"
#include "server/type_library.h"
#include "transport/activation.h"
#include "transport/client_connection.h"
#include "transport/server_endpoint.h"

namespace {

using namespace orvala;

int RunWith(server::ObjectChannel& channel, const std::string& file) {
  if (file.empty() || file == "-") return client::RunScript(std::cin, std::cout, std::cerr, channel);
  std::ifstream in(file);
  if (!in) {
    std::cerr << "orvala-cli: cannot open " << file << "\n";
    return 1;
  }
  return client::RunScript(in, std::cout, std::cerr, channel);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Runs calls on one Orvala remote object, one per line, printing JSON"};
  bool inproc = false;
  std::string endpoint, secret_file, file, tls_ca, tls_cert, tls_key;
  app.add_flag("--inproc", inproc, "Build the remote object in this process");
  app.add_option("--endpoint", endpoint, "Server socket path, unix:PATH or HOST:PORT");
  app.add_option("--secret-file", secret_file, "Shared secret for a TCP endpoint");
  app.add_option("--tls-ca", tls_ca,
                 "TLS to a TCP endpoint: the authority that signed the server's certificate");
  app.add_option("--tls-cert", tls_cert, "TLS: this client's certificate, for a server that asks");
  app.add_option("--tls-key", tls_key, "TLS: the key of --tls-cert");
  app.add_option("FILE", file, "Call lines to run (default: standard input)");
  CLI11_PARSE(app, argc, argv);
  if (inproc && !endpoint.empty()) {
    std::cerr << "orvala-cli: --inproc and --endpoint exclude each other\n";
    return 1;
  }

  try {
    if (inproc) {
      server::ServerProcess process{registry::Registry(registry::Registry::DefaultDirectory())};
      server::TOrvala object(process);
      return RunWith(object, file);
    }
    std::unique_ptr<transport::RemoteObject> object;
    if (!endpoint.empty()) {
      transport::ConnectOptions options;
      options.endpoint = endpoint;
      if (!secret_file.empty()) options.secret = transport::ReadSecretFile(secret_file);
      if (!tls_ca.empty() || !tls_cert.empty() || !tls_key.empty()) {
        transport::TlsClientFiles tls;
        if (!tls_ca.empty()) tls.ca = tls_ca;
        if (!tls_cert.empty()) tls.cert = tls_cert;
        if (!tls_key.empty()) tls.key = tls_key;
        options.tls = std::move(tls);
      }
      object = transport::RemoteObject::Connect(options);
    } else {
      transport::ActivationOptions options{
          registry::Registry(registry::Registry::DefaultDirectory())};
      object = transport::CreateRemoteObject(server::Library().prog_id, options);
    }
    return RunWith(*object, file);
  } catch (const Error& e) {
    std::cerr << "orvala-cli: " << e.message() << "\n";
    return 1;
  }
}
