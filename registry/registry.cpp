#include "registry/registry.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "common/error.h"

namespace orvala::registry {
namespace {

[[noreturn]] void ThrowWriteFailure(const HiveFile& file, const std::string& reason) {
  throw Error("Cannot write registry hive '" + file.path().string() + "': " + reason);
}

std::filesystem::path HomeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  passwd entry{};
  passwd* user = nullptr;
  std::vector<char> buffer(16 * 1024);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &user) == 0 && user &&
      user->pw_dir) {
    return user->pw_dir;
  }
  return std::filesystem::current_path();
}

}  // namespace

std::string_view RootName(Root root) {
  switch (root) {
    case Root::kLocalMachine: return "HKEY_LOCAL_MACHINE";
    case Root::kClassesRoot: return "HKEY_CLASSES_ROOT";
  }
  return "HKEY_LOCAL_MACHINE";
}

std::filesystem::path Registry::DefaultDirectory() {
  if (const char* dir = std::getenv("ORVALA_REGISTRY_DIR"); dir && *dir) return dir;
  std::filesystem::path config;
  // The XDG base directory rules say a relative XDG_CONFIG_HOME is to
  // be ignored.
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    config = xdg;
  } else {
    config = HomeDirectory() / ".config";
  }
  return config / "orvala" / "registry";
}

std::optional<RegistryKey> Registry::OpenKey(Root root, std::string_view path) const {
  KeyPath names = ParseKeyPath(path);
  if (!File(root).Read().Find(names)) return std::nullopt;
  return RegistryKey(*this, root, std::move(names));
}

std::optional<RegistryKey> Registry::CreateKey(Root root, std::string_view path) const {
  KeyPath names = ParseKeyPath(path);
  const std::optional<std::string> failure = File(root).Update([&](Hive& hive) {
    bool created = false;
    hive.Create(names, &created);
    return created;
  });
  if (failure) return std::nullopt;
  return RegistryKey(*this, root, std::move(names));
}

bool Registry::DeleteKey(Root root, std::string_view path) const {
  const KeyPath names = ParseKeyPath(path);
  const HiveFile file = File(root);
  Hive::RemoveResult result = Hive::RemoveResult::kMissing;
  const std::optional<std::string> failure = file.Update([&](Hive& hive) {
    result = hive.Remove(names);
    return result == Hive::RemoveResult::kRemoved;
  });
  if (failure) ThrowWriteFailure(file, *failure);
  switch (result) {
    case Hive::RemoveResult::kRemoved: return true;
    case Hive::RemoveResult::kMissing: return false;
    case Hive::RemoveResult::kHasSubkeys:
      throw Error(
          Format("Registry key '%s' has subkeys and cannot be deleted", JoinKeyPath(names)));
    case Hive::RemoveResult::kIsRoot:
      throw Error(Format("The root of %s cannot be deleted", std::string(RootName(root))));
  }
  return false;
}

std::optional<Value> RegistryKey::GetValue(std::string_view name) const {
  const Hive hive = registry_.File(root_).Read();
  const HiveKey* key = hive.Find(path_);
  const Value* value = key ? key->FindValue(name) : nullptr;
  if (!value) return std::nullopt;
  return *value;
}

std::vector<std::string> RegistryKey::SubkeyNames() const {
  const Hive hive = registry_.File(root_).Read();
  std::vector<std::string> names;
  if (const HiveKey* key = hive.Find(path_)) {
    for (const auto& [folded, subkey] : key->subkeys()) names.push_back(subkey->name());
  }
  return names;
}

std::vector<NamedValue> RegistryKey::Values() const {
  const Hive hive = registry_.File(root_).Read();
  std::vector<NamedValue> values;
  if (const HiveKey* key = hive.Find(path_)) {
    for (const auto& [folded, named] : key->values()) values.push_back(named);
  }
  return values;
}

bool RegistryKey::Update(const std::function<bool(HiveKey&)>& change) const {
  const HiveFile file = registry_.File(root_);
  bool changed = false;
  const std::optional<std::string> failure = file.Update([&](Hive& hive) {
    HiveKey* key = hive.Find(path_);
    if (!key) {
      throw Error(Format("Registry key '%s' has been deleted", JoinKeyPath(path_)));
    }
    changed = change(*key);
    return changed;
  });
  if (failure) ThrowWriteFailure(file, *failure);
  return changed;
}

void RegistryKey::SetValue(std::string_view name, const Value& value) const {
  Update([&](HiveKey& key) {
    const Value* old = key.FindValue(name);
    if (old && *old == value) return false;
    key.SetValue(name, value);
    return true;
  });
}

bool RegistryKey::DeleteValue(std::string_view name) const {
  return Update([&](HiveKey& key) { return key.RemoveValue(name); });
}

}  // namespace orvala::registry
