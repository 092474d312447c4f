// The registry: typed values under keys, in one hive per root.
//
// A Registry names a directory that holds one hive file per root (see
// README.md for the files and their format). Keys are written as paths,
// "CLSID\{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}\LocalServer32", with an
// optional leading backslash; key and value names are compared without
// regard to ASCII letter case and keep the case in which they were first
// written.
//
// Every change is one read-modify-write of its hive under the hive's lock,
// stored atomically, so writers in other threads or processes never lose
// each other's changes and a crash never leaves a torn hive. A hive file
// that cannot be parsed is reported, by an Error that names the file, on
// every access and is never overwritten.
//
// Registry and RegistryKey are immutable handles: their methods may be
// called from several threads at once without synchronization.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/hive.h"
#include "registry/hive_file.h"
#include "registry/value.h"

namespace orvala::registry {

enum class Root { kLocalMachine, kClassesRoot };

// "HKEY_LOCAL_MACHINE" or "HKEY_CLASSES_ROOT": also the hive file's name.
std::string_view RootName(Root root);

class RegistryKey;

class Registry {
 public:
  explicit Registry(std::filesystem::path directory) : directory_(std::move(directory)) {}

  // $ORVALA_REGISTRY_DIR when set, else ${XDG_CONFIG_HOME:-$HOME/.config}/orvala/registry.
  static std::filesystem::path DefaultDirectory();

  const std::filesystem::path& directory() const { return directory_; }
  HiveFile File(Root root) const { return HiveFile(directory_, RootName(root)); }

  // The key when it exists.
  std::optional<RegistryKey> OpenKey(Root root, std::string_view path) const;

  // The key opened for reading and writing, created with its parents when
  // missing; nullopt when the registry cannot be written (its directory
  // cannot be created or written, or the new key cannot be stored).
  std::optional<RegistryKey> CreateKey(Root root, std::string_view path) const;

  // Deletes a key and its values; false when there was no such key. A key
  // with subkeys is refused with an Error, as the registry refuses it:
  // delete a tree from its leaves up. Throws Error when the hive cannot be
  // written.
  bool DeleteKey(Root root, std::string_view path) const;

  // The paths above throw Error when they cannot name a key (an empty key
  // name, "a\\b"; a name longer than 255 bytes; deeper than 512 keys).

 private:
  std::filesystem::path directory_;
};

class RegistryKey {
 public:
  Root root() const { return root_; }
  // The path as given when the key was opened, without a leading backslash.
  std::string path() const { return JoinKeyPath(path_); }

  // Reads see the key as stored now: once another writer has deleted it,
  // it has no values and no subkeys.
  std::optional<Value> GetValue(std::string_view name) const;
  std::vector<std::string> SubkeyNames() const;
  std::vector<NamedValue> Values() const;

  // Changes throw Error when the hive cannot be written, or when the key
  // has been deleted since it was opened.
  void SetValue(std::string_view name, const Value& value) const;
  // False when there was no such value.
  bool DeleteValue(std::string_view name) const;

 private:
  friend class Registry;
  RegistryKey(Registry registry, Root root, KeyPath path)
      : registry_(std::move(registry)), root_(root), path_(std::move(path)) {}

  // Applies `change` to this key in one read-modify-write.
  bool Update(const std::function<bool(HiveKey&)>& change) const;

  Registry registry_;
  Root root_;
  KeyPath path_;
};

}  // namespace orvala::registry
