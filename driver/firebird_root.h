// The Firebird root that every program of the server points the engine at.
//
// Firebird's default server mode locks an embedded database file to the
// first process that opens it. The server, the command-line client and the
// tests must share one file, so the engine is given a root of our own whose
// firebird.conf selects SuperClassic and whose other entries link the
// system's Firebird files.
#pragma once

#include <filesystem>

namespace orvala::driver {

// Sets FIREBIRD to our root unless it is already set, creating the root on
// first use. Safe to call from several threads and processes; idempotent.
void EnsureFirebirdRoot();

}  // namespace orvala::driver
