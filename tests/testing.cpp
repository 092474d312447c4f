#include "tests/testing.h"

#include <cstdlib>
#include <stdexcept>

namespace orvala::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvala-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path SourceDir() {
  const char* dir = std::getenv("ORVALA_SOURCE_DIR");
  return dir ? dir : ORVALA_SOURCE_DIR_DEFAULT;
}

}  // namespace orvala::testing
