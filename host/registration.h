// Class registration: the entries under HKEY_CLASSES_ROOT through which
// clients find the server (its class, program identifier, type library
// and executable) and start it on demand.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "registry/registry.h"

namespace orvala::host {

// How the server was started, from its command-line switches.
enum class StartMode { ByCom, RegisterAndEnd, UnregisterAndEnd, ByHand };

// Switches begin with "-" or "/" and are read in any letter case; the first
// test that matches wins, in this order: AUTOMATION or EMBEDDING, REGSERVER,
// UNREGSERVER.
StartMode ParseStartMode(int argc, const char* const argv[]);

// What registering or unregistering did, for the operator to read.
struct RegistrationReport {
  std::filesystem::path hive;        // the file that holds HKEY_CLASSES_ROOT
  std::vector<std::string> changes;  // one line per entry written or removed, in order
};

// Writes the type library's registration and then the class entries, in
// their order. The type library's failure raises its own error; a class
// entry that cannot be written raises "Error creating system registry
// entry" and the entries after it are not written. `report`, when given,
// receives every entry written, also when a later one fails.
void RegisterServer(const registry::Registry& registry, const std::filesystem::path& executable,
                    RegistrationReport* report = nullptr);

// Removes them in the reverse manner. A key that cannot be deleted is
// passed over silently; the category itself stays registered. `report`
// receives the keys and values that were there and are gone.
void UnregisterServer(const registry::Registry& registry, RegistrationReport* report = nullptr);

}  // namespace orvala::host
