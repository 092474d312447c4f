// The remote objects of the HTTP endpoint. HTTP has no connection that
// lives as long as an object, so an object is named by an id that
// POST /v1/objects answers, and lives until DELETE /v1/objects/{id}, until
// no request has used it for the idle time, or until the endpoint stops.
//
// Each object lives as one on the socket does: it is created by the
// factory on a thread of its own, serves every call there, one at a time in
// the order they arrived, and is destroyed there when it is released (a
// call in progress finishes first). Its calls run through an orvala-cli
// session (client/cli_session.h), so that a reply has the CLI's shape.
//
// Ids are 128 random bits in hexadecimal: a client cannot reach another
// client's object by guessing.
//
// Thread safety: every public method may be called from any thread, at
// once. The table of objects is guarded by mutex_; each object's queue by
// its own mutex. Stop() (and the destructor) must not be called from a
// call's work.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "client/cli_session.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "server/object_channel.h"

namespace orvala::http {

class WebObjects {
 public:
  using Factory = std::function<std::unique_ptr<server::ObjectChannel>()>;
  using Work = std::function<json::Json(client::CliSession&)>;
  using ObjectCountHandler = std::function<void(size_t)>;

  WebObjects(Factory factory, std::chrono::milliseconds idle_timeout,
             ObjectCountHandler on_object_count = {});
  ~WebObjects();
  WebObjects(const WebObjects&) = delete;
  WebObjects& operator=(const WebObjects&) = delete;

  // Creates an object and answers its id; rethrows what the factory threw.
  std::string Create() EXCLUDES(mutex_);
  // Runs `work` on the object's thread after the calls queued before it
  // and answers what it returned (rethrowing what it threw); nullopt when
  // there is no such object (never created, released, or idle too long).
  std::optional<json::Json> Run(const std::string& id, Work work) EXCLUDES(mutex_);
  // Releases the object and waits until it is destroyed; false when there
  // is no such object.
  bool Release(const std::string& id) EXCLUDES(mutex_);
  size_t count() const EXCLUDES(mutex_);

  // Releases every object and stops the idle watch. Idempotent.
  void Stop() EXCLUDES(mutex_);

 private:
  struct Object;
  void Detach(std::shared_ptr<Object> object) EXCLUDES(mutex_);
  void WatchIdle() EXCLUDES(mutex_);
  void CountChanged() EXCLUDES(mutex_);

  Factory factory_;
  const std::chrono::milliseconds idle_timeout_;
  ObjectCountHandler on_object_count_;

  mutable Mutex mutex_;
  std::condition_variable_any wake_;
  std::map<std::string, std::shared_ptr<Object>> objects_ GUARDED_BY(mutex_);
  size_t alive_ GUARDED_BY(mutex_) = 0;  // created and not yet destroyed
  bool stopping_ GUARDED_BY(mutex_) = false;
  Mutex report_mutex_;  // one object-count report at a time, in order
  std::thread watcher_;
};

}  // namespace orvala::http
