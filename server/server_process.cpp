#include "server/server_process.h"

#include <algorithm>

namespace orvala::server {

ServerProcess::ServerProcess(registry::Registry registry, SessionCounter::Clock clock)
    : registry_(std::move(registry)),
      sessions_(std::move(clock)),
      catalogue_(catalogue::Module::Catalogue),
      reports_(catalogue::Module::Report) {}

std::string ServerProcess::RegisterObject(const void* object, driver::Connection* connection) {
  MutexLock lock(objects_mutex_);
  std::string name = "Orvala";
  for (int suffix = 1;; ++suffix) {
    const bool taken = std::any_of(objects_.begin(), objects_.end(),
                                   [&](const LiveObject& o) { return o.name == name; });
    if (!taken) break;
    name = "Orvala_" + std::to_string(suffix);
  }
  objects_.push_back({object, connection, name});
  if (!home_) BindModulesLocked(connection);
  return name;
}

void ServerProcess::UnregisterObject(const void* object) {
  MutexLock lock(objects_mutex_);
  auto it = std::find_if(objects_.begin(), objects_.end(),
                         [&](const LiveObject& o) { return o.object == object; });
  if (it == objects_.end()) return;
  const bool was_home = it->connection == home_;
  objects_.erase(it);
  if (!was_home) return;
  // An object that never called OpenDB has a connection without a
  // database: the catalogue bound to it would fail every other client's
  // fetch, so the oldest object that did is preferred.
  auto next = std::find_if(objects_.begin(), objects_.end(),
                           [](const LiveObject& o) { return o.connection->has_params(); });
  if (next == objects_.end()) next = objects_.begin();
  BindModulesLocked(next == objects_.end() ? nullptr : next->connection);
}

void ServerProcess::BindModulesLocked(driver::Connection* connection) {
  home_ = connection;
  for (catalogue::QueryModule* module : {&catalogue_, &reports_}) {
    MutexLock module_lock(module->lock());
    module->Bind(connection);
  }
}

size_t ServerProcess::object_count() const {
  MutexLock lock(objects_mutex_);
  return objects_.size();
}

void ServerProcess::CloseHomeIfLost() {
  MutexLock lock(objects_mutex_);
  if (home_) home_->CloseIfLost();
}

}  // namespace orvala::server
