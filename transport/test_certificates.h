// Certificates that tests make for themselves: an authority, and
// certificates it signs (or that sign themselves) for given names, valid
// or expired. Written as PEM files into a folder of the test's.
//
// Not thread-safe; one test thread uses it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace orvala::testing {

struct CertificateFiles {
  std::filesystem::path cert, key;
};

class TestAuthority {
 public:
  // A new authority named `name`, its files in `folder`.
  TestAuthority(std::filesystem::path folder, std::string name);
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  const std::filesystem::path& cert() const { return files_.cert; }

  enum class Validity { kValid, kExpired };
  // A certificate for `subject_alt_names` ("IP:127.0.0.1,DNS:localhost"),
  // signed by this authority; the files are named after `file_stem`.
  CertificateFiles Issue(const std::string& file_stem, const std::string& subject_alt_names,
                         Validity validity = Validity::kValid);
  // The same, signed by its own key.
  CertificateFiles SelfSigned(const std::string& file_stem, const std::string& subject_alt_names);

 private:
  struct State;
  std::filesystem::path folder_;
  CertificateFiles files_;
  std::unique_ptr<State> state_;
};

}  // namespace orvala::testing
