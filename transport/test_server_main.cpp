// A small server for the activation tests: it serves objects that answer
// every call with the server's process id, and, when started with
// -Embedding, ends after its last object is released, or after a grace
// period when no client ever comes. It stands in for the host program,
// which is not part of this layer.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <strings.h>

#include "common/error.h"
#include "transport/server_endpoint.h"

namespace {

class ProcessIdObject : public orvala::server::ObjectChannel {
 public:
  orvala::server::CallOutcome Invoke(const orvala::server::MethodDef&,
                                     std::vector<orvala::Variant>&) override {
    return orvala::server::CallOutcome{orvala::S_OK, orvala::Variant::I4(getpid()), std::nullopt};
  }
};

constexpr std::chrono::seconds kGrace{20};

}  // namespace

int main(int argc, char** argv) {
  bool embedding = false;
  for (int i = 1; i < argc; ++i) {
    if (strcasecmp(argv[i], "-Embedding") == 0) embedding = true;
  }
  std::mutex mutex;
  std::condition_variable changed;
  size_t objects = 0;
  bool had_object = false;
  try {
    orvala::transport::ServerEndpoint endpoint(
        {}, [] { return std::make_unique<ProcessIdObject>(); },
        [&](size_t count) {
          std::lock_guard lock(mutex);
          objects = count;
          had_object = had_object || count > 0;
          changed.notify_all();
        });
    if (!embedding) {
      pause();
      return 0;
    }
    std::unique_lock lock(mutex);
    changed.wait_for(lock, kGrace, [&] { return had_object; });
    changed.wait(lock, [&] { return objects == 0; });
    lock.unlock();
    endpoint.Stop();
  } catch (const orvala::Error& e) {
    std::cerr << "orvala test server: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
