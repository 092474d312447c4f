// TLS on the TCP listener, with certificates the test makes: who gets in,
// who is refused and why, and that no refused client ever creates an
// object.
#include <gtest/gtest.h>

#include <atomic>

#include "common/error.h"
#include "server/type_library.h"
#include "tests/testing.h"
#include "transport/client_connection.h"
#include "transport/server_endpoint.h"
#include "transport/test_certificates.h"

namespace orvala::transport {
namespace {

using namespace std::chrono_literals;
using orvala::testing::CertificateFiles;
using orvala::testing::TestAuthority;

class CountedObject : public server::ObjectChannel {
 public:
  explicit CountedObject(std::atomic<int>& created) { ++created; }
  server::CallOutcome Invoke(const server::MethodDef&, std::vector<Variant>&) override {
    return {S_OK, Variant::I4(0), std::nullopt};
  }
};

class TlsTest : public ::testing::Test {
 protected:
  TlsTest()
      : authority_(dir_.path(), "Orvala Test CA"),
        other_authority_(dir_.path(), "Other CA"),
        server_(authority_.Issue("server", "IP:127.0.0.1,DNS:orvala.test")) {}

  // An endpoint on TCP with TLS (and, when given, client certificates).
  void Start(const CertificateFiles& server,
             std::optional<std::filesystem::path> client_ca = std::nullopt,
             std::optional<std::string> secret = "s3cret") {
    EndpointOptions options;
    options.unix_enabled = false;
    options.tcp_listen = "127.0.0.1:0";
    options.tcp_secret = std::move(secret);
    options.tls = TlsServerFiles{server.cert, server.key, std::move(client_ca)};
    options.limits.hello_timeout = 2s;
    endpoint_ = std::make_unique<ServerEndpoint>(
        options, [this] { return std::make_unique<CountedObject>(created_); });
    address_ = "127.0.0.1:" + std::to_string(*endpoint_->tcp_port());
  }

  ConnectOptions Options(std::optional<TlsClientFiles> tls) const {
    ConnectOptions o;
    o.endpoint = address_;
    o.secret = "s3cret";
    o.tls = std::move(tls);
    o.connect_timeout = 3s;
    return o;
  }

  TlsClientFiles Trusting(const TestAuthority& authority) const {
    return TlsClientFiles{authority.cert(), std::nullopt, std::nullopt};
  }

  // Connects and makes one call; the refusal's status and reason when it
  // fails.
  std::optional<Error> Try(const ConnectOptions& options) {
    try {
      auto object = RemoteObject::Connect(options);
      std::vector<Variant> args(1);
      EXPECT_EQ(object->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
      return std::nullopt;
    } catch (const Error& e) {
      return e;
    }
  }

  orvala::testing::TempDir dir_;
  TestAuthority authority_, other_authority_;
  CertificateFiles server_;
  std::atomic<int> created_{0};
  std::unique_ptr<ServerEndpoint> endpoint_;
  std::string address_;
};

// Each server certificate against a client that trusts the test's
// authority: only the right one, for the right name, gets a call through.
TEST_F(TlsTest, TheClientVerifiesTheServersCertificateAndName) {
  struct Case {
    const char* name;
    CertificateFiles cert;
    std::string host;  // what the client connects to
    const char* reason;  // nullptr: served
  };
  const Case cases[] = {
      {"right certificate", server_, "127.0.0.1", nullptr},
      {"right certificate by name", server_, "localhost", "hostname mismatch"},
      {"wrong name", authority_.Issue("elsewhere", "DNS:elsewhere.test"), "127.0.0.1",
       "IP address mismatch"},
      {"expired", authority_.Issue("expired", "IP:127.0.0.1", TestAuthority::Validity::kExpired),
       "127.0.0.1", "certificate has expired"},
      {"self-signed", authority_.SelfSigned("self", "IP:127.0.0.1"), "127.0.0.1",
       "self-signed certificate"},
      {"another authority's", other_authority_.Issue("stranger", "IP:127.0.0.1"), "127.0.0.1",
       "unable to get local issuer certificate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.cert);
    ConnectOptions options = Options(Trusting(authority_));
    options.endpoint = c.host + ":" + std::to_string(*endpoint_->tcp_port());
    const std::optional<Error> refused = Try(options);
    if (!c.reason) {
      EXPECT_FALSE(refused) << refused->what();
      continue;
    }
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status(), wire::kStatusTlsFailure);
    EXPECT_NE(std::string(refused->what()).find(c.reason), std::string::npos) << refused->what();
  }
  EXPECT_EQ(created_, 1);
}

// With a client authority, a client needs a certificate that authority
// signed; without a shared secret on the listener, that certificate is
// all it needs.
TEST_F(TlsTest, AClientCertificateFromTheAuthorityLetsTheClientIn) {
  Start(server_, authority_.cert(), std::nullopt);
  const CertificateFiles mine = authority_.Issue("client", "DNS:client.test");
  const CertificateFiles theirs = other_authority_.Issue("intruder", "DNS:client.test");
  struct Case {
    const char* name;
    std::optional<CertificateFiles> cert;
    bool served;
  };
  for (const Case& c : {Case{"no certificate", std::nullopt, false},
                        Case{"another authority's", theirs, false}, Case{"the authority's", mine, true}}) {
    SCOPED_TRACE(c.name);
    TlsClientFiles tls = Trusting(authority_);
    if (c.cert) {
      tls.cert = c.cert->cert;
      tls.key = c.cert->key;
    }
    ConnectOptions options = Options(tls);
    options.secret.reset();
    const std::optional<Error> refused = Try(options);
    EXPECT_EQ(!refused, c.served) << (refused ? refused->what() : "served");
    if (refused) {
      EXPECT_EQ(refused->status(), wire::kStatusTlsFailure) << refused->what();
    }
  }
  EXPECT_EQ(created_, 1);
}

TEST_F(TlsTest, PlainTextAndTlsDoNotMix) {
  Start(server_);
  // A client in plain text against the TLS listener.
  const std::optional<Error> plain = Try(Options(std::nullopt));
  ASSERT_TRUE(plain);
  EXPECT_NE(std::string(plain->what()).find("TLS"), std::string::npos) << plain->what();

  // A TLS client against a plain-text listener.
  EndpointOptions options;
  options.unix_enabled = false;
  options.tcp_listen = "127.0.0.1:0";
  options.tcp_secret = "s3cret";
  ServerEndpoint plain_endpoint(options, [this] { return std::make_unique<CountedObject>(created_); });
  ConnectOptions tls = Options(Trusting(authority_));
  tls.endpoint = "127.0.0.1:" + std::to_string(*plain_endpoint.tcp_port());
  const std::optional<Error> refused = Try(tls);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status(), wire::kStatusTlsFailure) << refused->what();
  EXPECT_EQ(created_, 0);
}

// A TLS server that goes away leaves its client with a lost connection,
// call after call; the client program goes on (SIGPIPE is not ignored
// here, as in any client program that never thought of it).
TEST_F(TlsTest, AServerThatGoesAwayLeavesTheClientALostConnection) {
  Start(server_);
  auto object = RemoteObject::Connect(Options(Trusting(authority_)));
  std::vector<Variant> args(1);
  ASSERT_EQ(object->Invoke(*server::MethodByName("GetSession"), args).status, S_OK);
  endpoint_.reset();
  for (int call = 0; call < 3; ++call) {
    EXPECT_EQ(object->Invoke(*server::MethodByName("GetSession"), args).status, RPC_E_DISCONNECTED);
  }
}

TEST_F(TlsTest, UnreadableOrMismatchedFilesStopTheServerFromStarting) {
  const CertificateFiles other = authority_.Issue("other", "IP:127.0.0.1");
  for (const CertificateFiles& files :
       {CertificateFiles{dir_ / "missing.pem", server_.key}, CertificateFiles{server_.cert, other.key}}) {
    try {
      Start(files);
      ADD_FAILURE() << "started with " << files.cert << " and " << files.key;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(files.cert == server_.cert ? files.key.string()
                                                                       : files.cert.string()),
                std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace orvala::transport
