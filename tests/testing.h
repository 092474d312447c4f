// Helpers shared by the tests of every layer.
#pragma once

#include <filesystem>
#include <string>

namespace orvala::testing {

// A fresh directory under the system temporary directory, removed with its
// contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// The source tree, for tests that read files kept beside the code.
std::filesystem::path SourceDir();

}  // namespace orvala::testing
