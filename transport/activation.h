// Creating a remote object by class, starting its server when none runs:
// what a client asks of the system to reach the Orvala class.
//
// The class is found through the HKEY_CLASSES_ROOT hive: a program
// identifier leads to its CLSID (`<ProgID>\Clsid`), and the CLSID to the
// server executable (`CLSID\{clsid}\LocalServer32`). When nothing accepts on
// the local socket, the executable is started with `-Embedding` and the
// client waits, a bounded time, until it accepts.
//
// Several clients (threads or processes) may activate at once: the start
// is serialised by a file lock in the runtime folder, so they all end up
// with the one server that the first of them started.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/guid.h"
#include "common/status.h"
#include "registry/registry.h"
#include "transport/client_connection.h"

namespace orvala::transport {

// The class is not registered in the hive.
inline constexpr HResult kStatusClassNotRegistered = static_cast<HResult>(0x80040154u);

struct ActivationOptions {
  explicit ActivationOptions(registry::Registry r) : registry(std::move(r)) {}

  registry::Registry registry;
  // Empty: DefaultSocketPath(); the started server must serve the same
  // path, which it does when it sees the same ORVALA_RUNTIME_DIR.
  std::filesystem::path socket_path;
  // Where the start lock and the started server's log live; empty:
  // the socket's folder.
  std::filesystem::path runtime_dir;
  std::chrono::milliseconds start_timeout{30'000};
};

// The CLSID of a class named by its CLSID text or by its program
// identifier. Throws Error (kStatusClassNotRegistered) when the hive does not
// know it.
Guid ResolveClass(const registry::Registry& registry, std::string_view clsid_or_progid);

// The executable registered under CLSID\{clsid}\LocalServer32. Throws
// Error (kStatusClassNotRegistered) when there is none.
std::filesystem::path LocalServerPath(const registry::Registry& registry, const Guid& clsid);

// Connects to the running server, or starts one and connects. Throws Error
// (with the status CO_E_SERVER_EXEC_FAILURE when the server could not be
// started or did not accept in time).
std::unique_ptr<RemoteObject> CreateRemoteObject(std::string_view clsid_or_progid,
                                                 const ActivationOptions& options);

}  // namespace orvala::transport
