
#include "common/error.h"
#include "driver/params.h"

namespace orvala::driver {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

Param* ParamList::Find(std::string_view name) {
  for (Param& p : params_) {
    if (EqualsIgnoreCase(p.name, name)) return &p;
  }
  return nullptr;
}

const Param* ParamList::Find(std::string_view name) const {
  return const_cast<ParamList*>(this)->Find(name);
}

Param& ParamList::ByName(std::string_view name) {
  if (Param* p = Find(name)) return *p;
  throw Error(Format("Parameter '%s' not found", std::string(name)));
}

void ParamList::SetByName(std::string_view name, Value v) {
  bool found = false;
  for (Param& p : params_) {
    if (EqualsIgnoreCase(p.name, name)) {
      p.Set(v);
      found = true;
    }
  }
  if (!found) throw Error(Format("Parameter '%s' not found", std::string(name)));
}

}  // namespace orvala::driver
