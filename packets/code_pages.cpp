#include "packets/code_pages.h"

#include <map>
#include <mutex>

#include "common/error.h"

namespace orvala::packets {

namespace {
// Names come from untrusted packets; past this many the cache stops growing
// and further code pages are built for the one packet.
constexpr size_t kMaxCached = 32;
}  // namespace

std::shared_ptr<const CodePage> CodePageNamed(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const CodePage>> cache;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto found = cache.find(name); found != cache.end()) return found->second;
  }
  std::shared_ptr<const CodePage> code_page;
  try {
    code_page = std::make_shared<const CodePage>(name);
  } catch (const Error& e) {
    throw Error(std::string("Malformed packet: ") + e.what());
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (cache.size() < kMaxCached) cache.emplace(name, code_page);
  return code_page;
}

}  // namespace orvala::packets
