#include "http/web_objects.h"

#include <cstdio>
#include <deque>
#include <future>
#include <random>

#include "common/error.h"
#include "common/log.h"

namespace orvala::http {
namespace {

std::string NewId() {
  std::random_device random;
  std::string id;
  for (int i = 0; i < 4; ++i) {
    char part[9];
    std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
    id += part;
  }
  return id;
}

}  // namespace

struct WebObjects::Object {
  Mutex mutex;
  std::condition_variable_any ready;
  std::deque<std::function<void(client::CliSession&)>> queue GUARDED_BY(mutex);
  bool released GUARDED_BY(mutex) = false;
  // Guarded by the table's mutex_ (the analysis cannot name it here).
  size_t pending = 0;  // calls queued or running
  std::chrono::steady_clock::time_point last_used = std::chrono::steady_clock::now();
  std::thread thread;

  // The object's thread: creates the object, serves the queue until the
  // object is released and the calls queued before are done, destroys it.
  void Serve(const Factory& factory, std::promise<void>& created) {
    std::unique_ptr<server::ObjectChannel> channel;
    try {
      channel = factory();
    } catch (...) {
      created.set_exception(std::current_exception());
      return;
    }
    {
      client::CliSession session(*channel);
      created.set_value();
      for (;;) {
        std::function<void(client::CliSession&)> task;
        {
          MutexLock lock(mutex);
          while (!released && queue.empty()) ready.wait(mutex);
          if (queue.empty()) break;
          task = std::move(queue.front());
          queue.pop_front();
        }
        task(session);
      }
    }
    channel.reset();
  }
};

WebObjects::WebObjects(Factory factory, std::chrono::milliseconds idle_timeout,
                       ObjectCountHandler on_object_count)
    : factory_(std::move(factory)),
      idle_timeout_(idle_timeout),
      on_object_count_(std::move(on_object_count)),
      watcher_([this] { WatchIdle(); }) {}

WebObjects::~WebObjects() { Stop(); }

std::string WebObjects::Create() {
  auto object = std::make_shared<Object>();
  std::promise<void> created;
  std::future<void> done = created.get_future();
  object->thread = std::thread([this, object, &created] { object->Serve(factory_, created); });
  try {
    done.get();
  } catch (...) {
    object->thread.join();
    throw;
  }
  std::string id = NewId();
  bool stopping = false;
  {
    MutexLock lock(mutex_);
    ++alive_;
    stopping = stopping_;
    if (!stopping) objects_[id] = object;
  }
  if (stopping) {
    Detach(object);
    throw Error("the server is stopping");
  }
  CountChanged();
  return id;
}

std::optional<json::Json> WebObjects::Run(const std::string& id, Work work) {
  std::shared_ptr<Object> object;
  {
    MutexLock lock(mutex_);
    const auto found = objects_.find(id);
    if (found == objects_.end()) return std::nullopt;
    object = found->second;
    ++object->pending;
  }
  std::packaged_task<json::Json(client::CliSession&)> task(std::move(work));
  std::future<json::Json> answer = task.get_future();
  bool queued = false;
  {
    MutexLock lock(object->mutex);
    if (!object->released) {
      object->queue.emplace_back(
          [&task](client::CliSession& session) { task(session); });
      queued = true;
    }
  }
  object->ready.notify_one();
  auto finished = [&] {
    MutexLock lock(mutex_);
    --object->pending;
    object->last_used = std::chrono::steady_clock::now();
  };
  if (!queued) {
    finished();
    return std::nullopt;
  }
  answer.wait();
  finished();
  return answer.get();
}

bool WebObjects::Release(const std::string& id) {
  std::shared_ptr<Object> object;
  {
    MutexLock lock(mutex_);
    const auto found = objects_.find(id);
    if (found == objects_.end()) return false;
    object = found->second;
    objects_.erase(found);
  }
  Detach(std::move(object));
  return true;
}

size_t WebObjects::count() const {
  MutexLock lock(mutex_);
  return alive_;
}

void WebObjects::Detach(std::shared_ptr<Object> object) {
  {
    MutexLock lock(object->mutex);
    object->released = true;
  }
  object->ready.notify_all();
  object->thread.join();
  {
    MutexLock lock(mutex_);
    --alive_;
  }
  CountChanged();
}

void WebObjects::CountChanged() {
  MutexLock report(report_mutex_);
  size_t alive = 0;
  {
    MutexLock lock(mutex_);
    alive = alive_;
  }
  if (on_object_count_) on_object_count_(alive);
}

void WebObjects::WatchIdle() {
  const auto tick = std::min<std::chrono::milliseconds>(
      std::chrono::milliseconds(1000), std::max<std::chrono::milliseconds>(
                                           idle_timeout_ / 4, std::chrono::milliseconds(10)));
  for (;;) {
    std::vector<std::shared_ptr<Object>> idle;
    {
      MutexLock lock(mutex_);
      if (stopping_) return;
      const auto now = std::chrono::steady_clock::now();
      for (auto it = objects_.begin(); it != objects_.end();) {
        if (it->second->pending == 0 && now - it->second->last_used >= idle_timeout_) {
          idle.push_back(it->second);
          it = objects_.erase(it);
        } else {
          ++it;
        }
      }
    }
    // Released as a vanished client's object would be.
    if (!idle.empty()) {
      log::Info(std::to_string(idle.size()) + " HTTP object(s) released after " +
                std::to_string(idle_timeout_.count() / 1000) + " s unused");
    }
    for (auto& object : idle) Detach(std::move(object));
    MutexLock lock(mutex_);
    if (stopping_) return;
    wake_.wait_for(mutex_, tick);
  }
}

void WebObjects::Stop() {
  std::map<std::string, std::shared_ptr<Object>> objects;
  {
    MutexLock lock(mutex_);
    if (stopping_ && !watcher_.joinable()) return;
    stopping_ = true;
    objects.swap(objects_);
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  for (auto& [id, object] : objects) Detach(object);
}

}  // namespace orvala::http
