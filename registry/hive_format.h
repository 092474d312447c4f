// The text form of a hive, as kept in its file (described in README.md).
//
// ParseHive looks only at the bytes it is given and reports a file it
// cannot read as a value, never by reading past the end or crashing: hive
// files can be edited by hand, truncated or damaged. SerializeHive writes
// every name and value so that ParseHive gives them back byte for byte.
//
// Both are pure functions and may be called from several threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "registry/hive.h"

namespace orvala::registry {

// The hive in `bytes`, or nullopt with *error set to "line N: reason".
std::optional<Hive> ParseHive(std::string_view bytes, std::string* error);

std::string SerializeHive(const Hive& hive);

}  // namespace orvala::registry
