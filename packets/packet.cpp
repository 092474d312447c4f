#include "packets/packet.h"

#include <algorithm>

namespace orvala::packets {

size_t NestedFieldCount(const std::vector<Field>& fields) {
  return static_cast<size_t>(
      std::count_if(fields.begin(), fields.end(), [](const Field& f) { return f.is_nested(); }));
}

size_t PlainFieldCount(const std::vector<Field>& fields) {
  return fields.size() - NestedFieldCount(fields);
}

}  // namespace orvala::packets
