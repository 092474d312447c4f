// TLS for the transport's TCP connections, with OpenSSL: the contexts a
// server and a client make from the operator's files, and the handshakes.
//
// A server context presents the server's certificate and, when a client
// authority is given, accepts only clients whose certificate that
// authority signed. A client context verifies the server's certificate
// against the authority it is given (or the system's authorities) and, at
// the handshake, the server's name or address.
//
// Contexts are made once and then only read: one context may serve
// handshakes on several threads at once. An SslSession belongs to the
// connection that made it.
#pragma once

#include <openssl/ssl.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace orvala::transport {

struct TlsServerFiles {
  std::filesystem::path cert;  // PEM: the certificate, then any intermediates
  std::filesystem::path key;   // PEM: its private key
  // When given, a client must present a certificate signed by this
  // authority (PEM).
  std::optional<std::filesystem::path> client_ca;
};

struct TlsClientFiles {
  // The authority that signed the server's certificate (PEM); the system's
  // authorities when not given.
  std::optional<std::filesystem::path> ca;
  // The client's own certificate and key, for a server that asks for one.
  std::optional<std::filesystem::path> cert;
  std::optional<std::filesystem::path> key;
};

struct SslContextFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslSession = std::unique_ptr<SSL, SslFree>;

// Sets up `ctx` (made with TLS_server_method()) from the files: TLS 1.2 at
// least, the certificate and its key (checked to match), the client
// authority. For servers that make their own context (an HTTP library's).
// Throws Error naming the file and OpenSSL's reason.
void ConfigureServerContext(SSL_CTX& ctx, const TlsServerFiles& files);

SslContext MakeServerContext(const TlsServerFiles& files);
SslContext MakeClientContext(const TlsClientFiles& files);

// The handshakes, on a non-blocking socket, finished by `deadline`. The
// client's checks the server's certificate for `host` (a name or a
// numeric address). Both throw Error with the reason (the certificate's
// fault when verification failed).
SslSession AcceptTls(SSL_CTX& ctx, int fd, std::chrono::steady_clock::time_point deadline);
SslSession ConnectTls(SSL_CTX& ctx, int fd, const std::string& host,
                      std::chrono::steady_clock::time_point deadline);

// OpenSSL reads and writes a socket with read(2) and write(2), and write
// raises SIGPIPE when the peer has gone: a program that has not ignored it
// (any client program) would end there instead of seeing a lost
// connection. While one of these lives, SIGPIPE is held back on this
// thread; one that OpenSSL's calls raised meanwhile is taken away before
// it is let go. Every call into OpenSSL on a socket holds one.
class SigpipeHeld {
 public:
  SigpipeHeld();
  ~SigpipeHeld();
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  sigset_t pipe_, old_;
  bool was_pending_ = false;
};

// OpenSSL's queued errors as one text (emptying the queue), or `fallback`.
std::string TlsErrorText(const std::string& fallback);

}  // namespace orvala::transport
