#include "registry/database_location.h"

#include "common/error.h"

namespace orvala::registry {

std::string ReadDatabaseLocation(const Registry& registry) {
  // Opened for writing, as the server has always opened it: a registry it
  // may not write reads as no location at all.
  const std::optional<RegistryKey> key =
      registry.CreateKey(Root::kLocalMachine, kDatabaseLocationKey);
  if (!key) return {};
  const std::optional<Value> value = key->GetValue(kDatabaseLocationValue);
  if (!value || value->data().empty()) return {};
  if (!value->is_text()) throw Error(Format("Invalid data type for '%s'", kDatabaseLocationValue));
  const std::string& text = value->data();
  return text.substr(0, text.find('\0'));
}

void WriteDatabaseLocation(const Registry& registry, const std::string& location) {
  const std::optional<RegistryKey> key =
      registry.CreateKey(Root::kLocalMachine, kDatabaseLocationKey);
  if (!key) return;
  try {
    key->SetValue(kDatabaseLocationValue, Value::Text(location));
  } catch (const Error&) {
    throw Error(Format("Failed to set data for '%s'", kDatabaseLocationValue));
  }
}

std::string ReadDatabaseLocation() {
  return ReadDatabaseLocation(Registry(Registry::DefaultDirectory()));
}

void WriteDatabaseLocation(const std::string& location) {
  WriteDatabaseLocation(Registry(Registry::DefaultDirectory()), location);
}

}  // namespace orvala::registry
