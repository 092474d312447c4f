#include "transport/tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>

#include <functional>

#include "common/error.h"
#include "transport/socket.h"
#include "transport/wire.h"

namespace orvala::transport {
namespace {

SslContext NewContext(const SSL_METHOD* method) {
  SslContext ctx(SSL_CTX_new(method));
  if (!ctx) throw Error(TlsErrorText("Cannot create a TLS context"));
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  // The socket is non-blocking and a write may be resumed from another
  // place in the same buffer.
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

void LoadCertificateAndKey(SSL_CTX& ctx, const std::filesystem::path& cert,
                           const std::filesystem::path& key) {
  if (SSL_CTX_use_certificate_chain_file(&ctx, cert.c_str()) != 1) {
    throw Error(TlsErrorText("Cannot read the certificate " + cert.string()) + " (" +
                cert.string() + ")");
  }
  if (SSL_CTX_use_PrivateKey_file(&ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw Error(TlsErrorText("Cannot read the private key " + key.string()) + " (" + key.string() +
                ")");
  }
  if (SSL_CTX_check_private_key(&ctx) != 1) {
    throw Error("The private key " + key.string() + " does not belong to the certificate " +
                cert.string());
  }
}

void LoadAuthority(SSL_CTX& ctx, const std::filesystem::path& ca) {
  if (SSL_CTX_load_verify_locations(&ctx, ca.c_str(), nullptr) != 1) {
    throw Error(TlsErrorText("Cannot read the certificate authority " + ca.string()) + " (" +
                ca.string() + ")");
  }
}

// Why a handshake failed: the certificate's fault when verification
// failed, else OpenSSL's reason.
std::string HandshakeFailure(SSL* ssl, const std::string& fallback) {
  const long verify = SSL_get_verify_result(ssl);
  std::string reason = TlsErrorText(fallback);
  if (verify != X509_V_OK) {
    reason += ": " + std::string(X509_verify_cert_error_string(verify));
  }
  return reason;
}

SslSession Handshake(SSL_CTX& ctx, int fd, std::chrono::steady_clock::time_point deadline,
                     const std::string& what, const std::function<void(SSL*)>& prepare,
                     int (*step)(SSL*)) {
  ERR_clear_error();
  SslSession ssl(SSL_new(&ctx));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) throw Error(TlsErrorText("Cannot start TLS"));
  prepare(ssl.get());
  for (;;) {
    const SigpipeHeld held;
    const int rc = step(ssl.get());
    if (rc == 1) return ssl;
    const int error = SSL_get_error(ssl.get(), rc);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) events = POLLIN;
    else if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    else throw Error::FromStatus(wire::kStatusTlsFailure, HandshakeFailure(ssl.get(), what + " failed"));
    if (!WaitReady(fd, events, deadline)) {
      throw Error::FromStatus(wire::kStatusTlsFailure, what + " did not finish in time");
    }
  }
}

}  // namespace

SigpipeHeld::SigpipeHeld() {
  sigemptyset(&pipe_);
  sigaddset(&pipe_, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
}

SigpipeHeld::~SigpipeHeld() {
  if (!was_pending_) {
    const timespec now{0, 0};
    while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

std::string TlsErrorText(const std::string& fallback) {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof(buffer));
    const char* reason = ERR_reason_error_string(code);
    if (!text.empty()) text += "; ";
    text += reason ? reason : buffer;
  }
  return text.empty() ? fallback : fallback + ": " + text;
}

void ConfigureServerContext(SSL_CTX& ctx, const TlsServerFiles& files) {
  SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
  LoadCertificateAndKey(ctx, files.cert, files.key);
  if (files.client_ca) {
    LoadAuthority(ctx, *files.client_ca);
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.client_ca->c_str());
    if (names) SSL_CTX_set_client_CA_list(&ctx, names);
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
}

SslContext MakeServerContext(const TlsServerFiles& files) {
  SslContext ctx = NewContext(TLS_server_method());
  ConfigureServerContext(*ctx, files);
  return ctx;
}

SslContext MakeClientContext(const TlsClientFiles& files) {
  SslContext ctx = NewContext(TLS_client_method());
  if (files.ca) {
    LoadAuthority(*ctx, *files.ca);
  } else if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
    throw Error(TlsErrorText("Cannot read the system's certificate authorities"));
  }
  if (files.cert || files.key) {
    if (!files.cert || !files.key) throw Error("A client certificate needs its key, and a key its certificate");
    LoadCertificateAndKey(*ctx, *files.cert, *files.key);
  }
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  return ctx;
}

SslSession AcceptTls(SSL_CTX& ctx, int fd, std::chrono::steady_clock::time_point deadline) {
  return Handshake(ctx, fd, deadline, "The TLS handshake", [](SSL*) {}, SSL_accept);
}

SslSession ConnectTls(SSL_CTX& ctx, int fd, const std::string& host,
                      std::chrono::steady_clock::time_point deadline) {
  const auto prepare = [&](SSL* ssl) {
    in6_addr numeric{};
    const bool is_address = inet_pton(AF_INET, host.c_str(), &numeric) == 1 ||
                            inet_pton(AF_INET6, host.c_str(), &numeric) == 1;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (is_address) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
      SSL_set_tlsext_host_name(ssl, host.c_str());
    }
  };
  return Handshake(ctx, fd, deadline, "The TLS handshake with " + host, prepare, SSL_connect);
}

}  // namespace orvala::transport
