// What the remote objects of one server process share: the logged-in flag,
// the session count, the two query modules and the binding of those
// modules to one remote object's connection.
//
// Thread safety: everything here is used from every remote object's thread.
// The flag is atomic; the session counter has its own mutex; the object
// list and the binding sit behind objects_mutex_, which is taken before
// the modules' locks and never while holding them.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/query_module.h"
#include "common/mutex.h"
#include "registry/registry.h"
#include "server/session_counter.h"

namespace orvala::server {

class ServerProcess {
 public:
  explicit ServerProcess(registry::Registry registry, SessionCounter::Clock clock = {});
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // One flag for the whole process: one client's sign-in opens the gated
  // methods of every remote object, one client's sign-out closes them.
  std::atomic<bool>& logged_in() { return logged_in_; }
  SessionCounter& sessions() { return sessions_; }
  catalogue::QueryModule& catalogue() { return catalogue_; }
  catalogue::QueryModule& reports() { return reports_; }
  const registry::Registry& registry() const { return registry_; }

  // A remote object announces itself with its connection and receives its
  // component name: "Orvala" for the first alive, then the first free
  // "Orvala_N". The first object becomes the home of the query modules,
  // whose queries then run on its connection.
  std::string RegisterObject(const void* object, driver::Connection* connection);
  // When the home object goes, the modules move to the connection of the
  // oldest object still alive that has its database parameters (the
  // oldest alive when none has), so the other clients' providers keep
  // working; with none left they have no connection until the next object
  // is created.
  void UnregisterObject(const void* object);

  size_t object_count() const;
  // After a failed call: drops the home connection when its database no
  // longer answers, so that the query modules connect again on next use.
  void CloseHomeIfLost();

 private:
  struct LiveObject {
    const void* object;
    driver::Connection* connection;
    std::string name;
  };
  void BindModulesLocked(driver::Connection* connection) REQUIRES(objects_mutex_);

  registry::Registry registry_;
  std::atomic<bool> logged_in_{false};
  SessionCounter sessions_;
  catalogue::QueryModule catalogue_;
  catalogue::QueryModule reports_;

  mutable Mutex objects_mutex_;
  std::vector<LiveObject> objects_ GUARDED_BY(objects_mutex_);  // in creation order
  driver::Connection* home_ GUARDED_BY(objects_mutex_) = nullptr;
};

}  // namespace orvala::server
