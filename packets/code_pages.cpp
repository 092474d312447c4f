#include "packets/code_pages.h"

#include <map>
#include <mutex>

#include "common/error.h"

namespace orvala::packets {

namespace {
// Names come from untrusted packets; past this many the cache stops growing
// and further code pages are built for the one packet.
constexpr size_t kMaxCached = 32;
// iconv quietly drops characters that it does not expect in a name, so
// that "WINDOWS-125", a control character and "2" would open WINDOWS-1252.
// Only plain names are taken, so that a name means one thing wherever it
// is written.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == ':';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<const CodePage> CodePageNamed(const std::string& name) {
  if (!IsPlainName(name)) throw Error("Malformed packet: bad code page name");
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
