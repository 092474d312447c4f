#include "client/code_pages.h"

#include <map>
#include <memory>
#include <mutex>

namespace orvala::client {

const CodePage& CodePageNamed(const std::string& name) {
  if (name == CodePage::System().name()) return CodePage::System();
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<CodePage>> built;
  std::lock_guard lock(mutex);
  std::unique_ptr<CodePage>& slot = built[name];
  if (!slot) slot = std::make_unique<CodePage>(name);
  return *slot;
}

}  // namespace orvala::client
