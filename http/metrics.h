// The server's counters, served by GET /metrics in the Prometheus text
// format: live objects and connections per transport, calls by method and
// status, a histogram of call latency, rows fetched and applied, and
// refused connections and requests by reason.
//
// Calls are counted by MeteredChannel, which wraps the remote object that
// a transport's factory creates, so that both transports count alike.
//
// Thread safety: every method may be called from any thread; the counters
// are guarded by mutex_.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>

#include "common/mutex.h"
#include "common/status.h"
#include "common/thread_annotations.h"
#include "server/object_channel.h"

namespace orvala::http {

enum class Transport { Socket, Http };
const char* TransportName(Transport transport);  // "socket", "http"

class Metrics {
 public:
  // Upper bounds of the latency buckets, in seconds (the last is +Inf).
  static constexpr std::array<double, 10> kLatencyBuckets{0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                          0.025,  0.1,   0.5,    2.5,   10};

  void SetObjects(Transport transport, size_t live) EXCLUDES(mutex_);
  void ConnectionOpened(Transport transport) EXCLUDES(mutex_);
  void ConnectionClosed(Transport transport) EXCLUDES(mutex_);
  // `reason`: "secret", "connections", "body_size", "malformed", ...
  void Refused(Transport transport, std::string_view reason) EXCLUDES(mutex_);
  void Called(Transport transport, std::string_view method, HResult status,
              std::chrono::nanoseconds latency) EXCLUDES(mutex_);
  void RowsFetched(uint64_t rows) EXCLUDES(mutex_);
  void RowsApplied(uint64_t rows) EXCLUDES(mutex_);

  size_t objects(Transport transport) const EXCLUDES(mutex_);
  // Calls made since the server started, over both transports.
  uint64_t calls() const EXCLUDES(mutex_);

  std::string Text() const EXCLUDES(mutex_);

 private:
  struct Latency {
    std::array<uint64_t, kLatencyBuckets.size()> buckets{};  // not cumulative
    uint64_t count = 0;
    double sum = 0;
  };
  mutable Mutex mutex_;
  std::map<Transport, size_t> objects_ GUARDED_BY(mutex_);
  std::map<Transport, size_t> connections_ GUARDED_BY(mutex_);
  std::map<std::pair<Transport, std::string>, uint64_t> refused_ GUARDED_BY(mutex_);
  std::map<std::tuple<Transport, std::string, std::string>, uint64_t> calls_ GUARDED_BY(mutex_);
  std::map<Transport, Latency> latency_ GUARDED_BY(mutex_);
  uint64_t rows_fetched_ GUARDED_BY(mutex_) = 0;
  uint64_t rows_applied_ GUARDED_BY(mutex_) = 0;
};

// A remote object whose calls are counted. Used by one thread at a time,
// like the object it wraps.
class MeteredChannel : public server::ObjectChannel {
 public:
  MeteredChannel(std::unique_ptr<server::ObjectChannel> inner, Metrics& metrics,
                 Transport transport)
      : inner_(std::move(inner)), metrics_(metrics), transport_(transport) {}
  server::CallOutcome Invoke(const server::MethodDef& method, std::vector<Variant>& args) override;

 private:
  std::unique_ptr<server::ObjectChannel> inner_;
  Metrics& metrics_;
  Transport transport_;
};

}  // namespace orvala::http
