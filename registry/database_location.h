// Where the server's database lies: one text value in the machine's hive.
//
// The location is the value "DBPATHVALUE" of the key "\Software\Orvala"
// under HKEY_LOCAL_MACHINE. It is passed on to the database client as it
// is stored: text in UTF-8, expandable text never expanded.
//
// The functions share nothing but the hive file and may be called from
// several threads at once.
#pragma once

#include <string>

#include "registry/registry.h"

namespace orvala::registry {

inline constexpr char kDatabaseLocationKey[] = "\\Software\\Orvala";
inline constexpr char kDatabaseLocationValue[] = "DBPATHVALUE";

// The stored location, up to its first zero character. Empty when the key
// cannot be opened for writing or created, or when the value is missing or
// empty. Throws Error "Invalid data type for 'DBPATHVALUE'" when the value
// is neither plain nor expandable text, and the hive's own Error when its
// file cannot be read.
std::string ReadDatabaseLocation(const Registry& registry);

// Stores `location` as plain text. When the key cannot be opened or
// created, stores nothing and reports nothing. Throws Error "Failed to set
// data for 'DBPATHVALUE'" when the value cannot be written (the stored one
// then stays as it was), and the hive's own Error when its file cannot be
// read.
void WriteDatabaseLocation(const Registry& registry, const std::string& location);

// The same, in the registry of Registry::DefaultDirectory().
std::string ReadDatabaseLocation();
void WriteDatabaseLocation(const std::string& location);

}  // namespace orvala::registry
