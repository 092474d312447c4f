// The keys and values of one registry root, held in memory.
//
// A hive is a tree of keys under a nameless root key; every key has
// subkeys and named values. Key and value names are compared without
// regard to ASCII letter case, as the registry compares them, and keep the
// case in which they were first written. The empty value name is the key's
// default value.
//
// Hive and HiveKey are not synchronized: a hive belongs to the one
// operation that read it from its file.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry/value.h"

namespace orvala::registry {

// The registry's own limits, which also bound how deep a hive read from an
// untrusted file can nest.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;

// The names of the keys from a hive's root down to one key.
using KeyPath = std::vector<std::string>;

// Why `name` cannot name a key, or an empty view when it can: a key name is
// not empty, holds no backslash and has at most kMaxKeyNameLength bytes.
std::string_view KeyNameProblem(std::string_view name);

// Splits "Software\Orvala" (a leading backslash is allowed, and the empty
// path is the root) into its key names. Throws Error for a path that
// cannot name a key.
KeyPath ParseKeyPath(std::string_view path);

// The path written with backslashes, as the registry shows it.
std::string JoinKeyPath(const KeyPath& path);

// The form of a name under which it is compared: ASCII letters in lower case.
std::string FoldName(std::string_view name);

struct NamedValue {
  std::string name;
  Value value;

  friend bool operator==(const NamedValue&, const NamedValue&) = default;
};

class HiveKey {
 public:
  explicit HiveKey(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }

  // Keyed by folded name, so iteration is in a stable order.
  const std::map<std::string, std::unique_ptr<HiveKey>>& subkeys() const { return subkeys_; }
  const std::map<std::string, NamedValue>& values() const { return values_; }

  HiveKey* FindSubkey(std::string_view name) const;
  // The subkey of that name, added when missing.
  HiveKey& AddSubkey(std::string_view name);
  void RemoveSubkey(std::string_view name);

  const Value* FindValue(std::string_view name) const;
  // A value that exists keeps the case of its name as first written.
  void SetValue(std::string_view name, Value value);
  // False when there was no such value.
  bool RemoveValue(std::string_view name);

 private:
  std::string name_;
  std::map<std::string, std::unique_ptr<HiveKey>> subkeys_;
  std::map<std::string, NamedValue> values_;
};

class Hive {
 public:
  Hive() : root_(std::string()) {}

  HiveKey& root() { return root_; }
  const HiveKey& root() const { return root_; }

  // Null when the key does not exist.
  HiveKey* Find(const KeyPath& path);
  const HiveKey* Find(const KeyPath& path) const;
  // The key, created with its missing parents. Sets *created when it was
  // missing.
  HiveKey& Create(const KeyPath& path, bool* created = nullptr);

  enum class RemoveResult { kRemoved, kMissing, kHasSubkeys, kIsRoot };
  // Removes a key with its values. A key with subkeys stays, as the
  // registry refuses to delete one: whoever removes a tree removes its
  // leaves first. The root is never removed.
  RemoveResult Remove(const KeyPath& path);

 private:
  HiveKey root_;
};

}  // namespace orvala::registry
