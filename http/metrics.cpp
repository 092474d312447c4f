#include "http/metrics.h"

#include <algorithm>
#include <cstdio>

#include "common/error.h"
#include "json/variant_json.h"
#include "packets/packet_variant.h"

namespace orvala::http {
namespace {

// A label value: backslash, double quote and line feed escaped.
std::string Quoted(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    out += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return out + "\"";
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

const char* TransportName(Transport transport) {
  return transport == Transport::Socket ? "socket" : "http";
}

void Metrics::SetObjects(Transport transport, size_t live) {
  MutexLock lock(mutex_);
  objects_[transport] = live;
}

void Metrics::ConnectionOpened(Transport transport) {
  MutexLock lock(mutex_);
  ++connections_[transport];
}

void Metrics::ConnectionClosed(Transport transport) {
  MutexLock lock(mutex_);
  --connections_[transport];
}

void Metrics::Refused(Transport transport, std::string_view reason) {
  MutexLock lock(mutex_);
  ++refused_[{transport, std::string(reason)}];
}

void Metrics::Called(Transport transport, std::string_view method, HResult status,
                     std::chrono::nanoseconds latency) {
  const double seconds = std::chrono::duration<double>(latency).count();
  MutexLock lock(mutex_);
  ++calls_[{transport, std::string(method), json::StatusText(status)}];
  Latency& l = latency_[transport];
  size_t bucket = 0;
  while (bucket < kLatencyBuckets.size() && seconds > kLatencyBuckets[bucket]) ++bucket;
  if (bucket < kLatencyBuckets.size()) ++l.buckets[bucket];
  ++l.count;
  l.sum += seconds;
}

void Metrics::RowsFetched(uint64_t rows) {
  MutexLock lock(mutex_);
  rows_fetched_ += rows;
}

void Metrics::RowsApplied(uint64_t rows) {
  MutexLock lock(mutex_);
  rows_applied_ += rows;
}

size_t Metrics::objects(Transport transport) const {
  MutexLock lock(mutex_);
  const auto found = objects_.find(transport);
  return found == objects_.end() ? 0 : found->second;
}

uint64_t Metrics::calls() const {
  MutexLock lock(mutex_);
  uint64_t total = 0;
  for (const auto& [key, count] : calls_) total += count;
  return total;
}

std::string Metrics::Text() const {
  MutexLock lock(mutex_);
  std::string out;
  constexpr Transport kTransports[] = {Transport::Socket, Transport::Http};
  Header(out, "orvala_objects", "gauge", "Remote objects alive now.");
  for (Transport t : kTransports) {
    const auto found = objects_.find(t);
    out += std::string("orvala_objects{transport=\"") + TransportName(t) + "\"} " +
           std::to_string(found == objects_.end() ? 0 : found->second) + "\n";
  }
  Header(out, "orvala_connections", "gauge", "Connections open now.");
  for (const auto& [t, count] : connections_) {
    out += std::string("orvala_connections{transport=\"") + TransportName(t) + "\"} " +
           std::to_string(count) + "\n";
  }
  Header(out, "orvala_refused_total", "counter", "Connections and requests refused, by reason.");
  for (const auto& [key, count] : refused_) {
    out += std::string("orvala_refused_total{transport=\"") + TransportName(key.first) +
           "\",reason=" + Quoted(key.second) + "} " + std::to_string(count) + "\n";
  }
  Header(out, "orvala_calls_total", "counter", "Calls by method and status.");
  for (const auto& [key, count] : calls_) {
    out += std::string("orvala_calls_total{transport=\"") + TransportName(std::get<0>(key)) +
           "\",method=" + Quoted(std::get<1>(key)) + ",status=" + Quoted(std::get<2>(key)) +
           "} " + std::to_string(count) + "\n";
  }
  Header(out, "orvala_call_seconds", "histogram", "Time a call took on its object.");
  for (const auto& [t, l] : latency_) {
    const std::string labels = std::string("transport=\"") + TransportName(t) + "\"";
    uint64_t cumulative = 0;
    for (size_t b = 0; b < kLatencyBuckets.size(); ++b) {
      cumulative += l.buckets[b];
      out += "orvala_call_seconds_bucket{" + labels + ",le=\"" + Number(kLatencyBuckets[b]) +
             "\"} " + std::to_string(cumulative) + "\n";
    }
    out += "orvala_call_seconds_bucket{" + labels + ",le=\"+Inf\"} " + std::to_string(l.count) +
           "\n";
    out += "orvala_call_seconds_sum{" + labels + "} " + Number(l.sum) + "\n";
    out += "orvala_call_seconds_count{" + labels + "} " + std::to_string(l.count) + "\n";
  }
  Header(out, "orvala_rows_fetched_total", "counter", "Rows sent by AS_GetRecords.");
  out += "orvala_rows_fetched_total " + std::to_string(rows_fetched_) + "\n";
  Header(out, "orvala_rows_applied_total", "counter",
         "Delta rows that AS_ApplyUpdates applied without an error.");
  out += "orvala_rows_applied_total " + std::to_string(rows_applied_) + "\n";
  return out;
}

server::CallOutcome MeteredChannel::Invoke(const server::MethodDef& method,
                                           std::vector<Variant>& args) {
  const auto start = std::chrono::steady_clock::now();
  server::CallOutcome outcome = inner_->Invoke(method, args);
  metrics_.Called(transport_, method.name, outcome.status,
                  std::chrono::steady_clock::now() - start);
  if (Failed(outcome.status)) return outcome;
  const std::string_view name = method.name;
  // The provider operations' arguments: AS_GetRecords (ProviderName, Count,
  // RecsOut, ...), AS_ApplyUpdates (ProviderName, Delta, MaxErrors,
  // ErrorCount, ...).
  if (name == "AS_GetRecords" && args.size() > 2 && args[2].type() == VarType::I4) {
    metrics_.RowsFetched(static_cast<uint64_t>(std::max(args[2].i4(), 0)));
  } else if (name == "AS_ApplyUpdates" && args.size() > 3 && args[1].type() == VarType::ByteArray) {
    try {
      const size_t rows = packets::DeltaPacketFromVariant(args[1]).rows.size();
      const size_t failed = static_cast<size_t>(std::max(args[3].ToInt32(), 0));
      metrics_.RowsApplied(rows > failed ? rows - failed : 0);
    } catch (const Error&) {
      // A delta the object refused to read applied nothing.
    }
  }
  return outcome;
}

}  // namespace orvala::http
