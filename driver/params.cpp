
#include "driver/params.h"

#include "common/ascii.h"
#include "common/error.h"

namespace orvala::driver {

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
