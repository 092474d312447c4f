#include "registry/hive.h"

#include <utility>

#include "common/error.h"

namespace orvala::registry {

std::string_view KeyNameProblem(std::string_view name) {
  if (name.empty()) return "empty key name";
  if (name.size() > kMaxKeyNameLength) return "key name longer than 255 bytes";
  if (name.find('\\') != std::string_view::npos) return "backslash in key name";
  return {};
}

KeyPath ParseKeyPath(std::string_view path) {
  KeyPath names;
  if (path.starts_with('\\')) path.remove_prefix(1);
  if (path.empty()) return names;
  const std::string whole(path);
  for (;;) {
    const size_t end = path.find('\\');
    const std::string_view name = path.substr(0, end);
    if (name.empty()) throw Error(Format("Invalid registry key '%s': empty key name", whole));
    if (name.size() > kMaxKeyNameLength) {
      throw Error(Format("Invalid registry key '%s': key name longer than 255 bytes", whole));
    }
    names.emplace_back(name);
    if (names.size() > kMaxKeyDepth) {
      throw Error(Format("Invalid registry key '%s': nested too deep", whole));
    }
    if (end == std::string_view::npos) return names;
    path.remove_prefix(end + 1);
  }
}

std::string JoinKeyPath(const KeyPath& path) {
  std::string joined;
  for (const std::string& name : path) {
    if (!joined.empty()) joined += '\\';
    joined += name;
  }
  return joined;
}

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

HiveKey* HiveKey::FindSubkey(std::string_view name) const {
  const auto it = subkeys_.find(FoldName(name));
  return it == subkeys_.end() ? nullptr : it->second.get();
}

HiveKey& HiveKey::AddSubkey(std::string_view name) {
  std::unique_ptr<HiveKey>& slot = subkeys_[FoldName(name)];
  if (!slot) slot = std::make_unique<HiveKey>(std::string(name));
  return *slot;
}

void HiveKey::RemoveSubkey(std::string_view name) { subkeys_.erase(FoldName(name)); }

const Value* HiveKey::FindValue(std::string_view name) const {
  const auto it = values_.find(FoldName(name));
  return it == values_.end() ? nullptr : &it->second.value;
}

void HiveKey::SetValue(std::string_view name, Value value) {
  const auto [it, added] =
      values_.try_emplace(FoldName(name), NamedValue{std::string(name), value});
  if (!added) it->second.value = std::move(value);
}

bool HiveKey::RemoveValue(std::string_view name) { return values_.erase(FoldName(name)) > 0; }

const HiveKey* Hive::Find(const KeyPath& path) const {
  const HiveKey* key = &root_;
  for (const std::string& name : path) {
    key = key->FindSubkey(name);
    if (!key) return nullptr;
  }
  return key;
}

HiveKey* Hive::Find(const KeyPath& path) {
  return const_cast<HiveKey*>(std::as_const(*this).Find(path));
}

HiveKey& Hive::Create(const KeyPath& path, bool* created) {
  if (created) *created = false;
  HiveKey* key = &root_;
  for (const std::string& name : path) {
    if (HiveKey* existing = key->FindSubkey(name)) {
      key = existing;
      continue;
    }
    key = &key->AddSubkey(name);
    if (created) *created = true;
  }
  return *key;
}

Hive::RemoveResult Hive::Remove(const KeyPath& path) {
  if (path.empty()) return RemoveResult::kIsRoot;
  HiveKey* parent = Find(KeyPath(path.begin(), path.end() - 1));
  HiveKey* key = parent ? parent->FindSubkey(path.back()) : nullptr;
  if (!key) return RemoveResult::kMissing;
  if (!key->subkeys().empty()) return RemoveResult::kHasSubkeys;
  parent->RemoveSubkey(path.back());
  return RemoveResult::kRemoved;
}

}  // namespace orvala::registry
