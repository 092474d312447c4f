#include "transport/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace orvala::testing {
namespace {

constexpr long kDay = 24 * 60 * 60;

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("making a test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// A certificate for `key` named `cn`, valid from `from` to `to` seconds
// from now, signed by `issuer` (itself when null).
Cert Make(EVP_PKEY* key, const std::string& cn, long from, long to, X509* issuer,
          EVP_PKEY* issuer_key, bool authority, const std::string& alt_names) {
  static long serial = 1;
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert.get();
  AddExtension(cert.get(), signer, NID_basic_constraints, authority ? "critical,CA:TRUE" : "CA:FALSE");
  if (authority) AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (!alt_names.empty()) AddExtension(cert.get(), signer, NID_subject_alt_name, alt_names);
  Check(X509_sign(cert.get(), issuer_key ? issuer_key : key, EVP_sha256()) > 0, "signing");
  return cert;
}

Key NewKey() {
  Key key(EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  return key;
}

CertificateFiles Write(const std::filesystem::path& folder, const std::string& stem, X509* cert,
                       EVP_PKEY* key) {
  CertificateFiles files{folder / (stem + ".pem"), folder / (stem + ".key")};
  FILE* c = std::fopen(files.cert.c_str(), "w");
  Check(c && PEM_write_X509(c, cert) == 1, "writing the certificate");
  std::fclose(c);
  FILE* k = std::fopen(files.key.c_str(), "w");
  Check(k && PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "writing the key");
  std::fclose(k);
  return files;
}

}  // namespace

struct TestAuthority::State {
  Key key;
  Cert cert;
};

TestAuthority::TestAuthority(std::filesystem::path folder, std::string name)
    : folder_(std::move(folder)), state_(std::make_unique<State>()) {
  state_->key = NewKey();
  state_->cert = Make(state_->key.get(), name, -kDay, 30 * kDay, nullptr, nullptr, true, "");
  std::string stem = name;
  for (char& ch : stem) {
    if (ch == ' ') ch = '-';
  }
  files_ = Write(folder_, stem, state_->cert.get(), state_->key.get());
}

TestAuthority::~TestAuthority() = default;

CertificateFiles TestAuthority::Issue(const std::string& file_stem,
                                      const std::string& subject_alt_names, Validity validity) {
  Key key = NewKey();
  const bool expired = validity == Validity::kExpired;
  Cert cert = Make(key.get(), file_stem, expired ? -10 * kDay : -kDay, expired ? -kDay : 30 * kDay,
                   state_->cert.get(), state_->key.get(), false, subject_alt_names);
  return Write(folder_, file_stem, cert.get(), key.get());
}

CertificateFiles TestAuthority::SelfSigned(const std::string& file_stem,
                                           const std::string& subject_alt_names) {
  Key key = NewKey();
  Cert cert = Make(key.get(), file_stem, -kDay, 30 * kDay, nullptr, nullptr, false, subject_alt_names);
  return Write(folder_, file_stem, cert.get(), key.get());
}

}  // namespace orvala::testing
