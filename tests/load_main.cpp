// orvala-load: many clients over the local socket against one orvala-server
// on a fresh database, each running a mix of fetches, applies, routine
// calls and setQuery on the general-purpose queries. It prints its figures
// and fails when a call fails, when the server keeps threads or objects
// after the clients leave, or when its memory does not come back near the
// level it had before them.
//
//   orvala-load [--clients N] [--calls M] [--timeout SECONDS]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/orvala_proxy.h"
#include "json/packet_json.h"
#include "common/error.h"
#include "driver/administrator.h"
#include "driver/connection.h"
#include "packets/codec.h"
#include "tests/database_fixture.h"
#include "tests/fault_server.h"

namespace orvala::testing {
namespace {

struct Options {
  int clients = 64;
  int calls = 2000;
  int timeout_seconds = 1200;
};

struct Figures {
  std::atomic<long> calls{0};
  std::atomic<long> errors{0};
  std::mutex mutex;
  std::string first_error;

  void Fail(const std::string& what) {
    ++errors;
    std::lock_guard lock(mutex);
    if (first_error.empty()) first_error = what;
  }
};

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// One client's session: its own remote object, run-time provider and rows.
class LoadClient {
 public:
  LoadClient(const ServerProgram& server, int number, Figures& figures)
      : object_(server.Connect()), proxy_(*object_), number_(number), figures_(figures) {}

  void Run(int calls) {
    Check(proxy_.OpenDB(), 0, "OpenDB");
    Variant id_utenti;
    int32_t result = -1;
    HResult status = proxy_.Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, result);
    Check(status, result, "Login");
    status = proxy_.AddProvider(
        u"L", u"select * from load_rows where client = " + U16(std::to_string(number_)), result);
    Check(status, result, "AddProvider");
    DescribeRows();
    for (int i = 0; i < calls; ++i) {
      switch (i % 5) {
        case 0: Fetch(u"SelectEsercizi"); break;
        case 1: GeneralPurposeQuery(i); break;
        case 2: Apply(i); break;
        case 3: Routines(); break;
        case 4: Fetch(u"L"); break;
      }
    }
  }

 private:
  // `result` is the method result, read after the call has returned.
  void Check(HResult status, int32_t result, const char* call) {
    ++figures_.calls;
    if (status != S_OK || result != 0) {
      figures_.Fail(std::string(call) + ": status " + std::to_string(status) + ", result " +
                    std::to_string(result) +
                    (proxy_.last_error() ? ": " + proxy_.last_error()->description : ""));
    }
  }

  Variant Fetch(const std::u16string& provider) {
    int32_t recs = 0;
    Variant params, owner, data;
    Check(proxy_.AS_GetRecords(provider, -1, recs, 0, u"", params, owner, data), 0, "AS_GetRecords");
    return data;
  }

  void DescribeRows() {
    const Variant data = Fetch(u"L");
    try {
      fields_ = packets::DecodeDataPacket(data.bytes()).fields;
    } catch (const Error& e) {
      figures_.Fail(std::string("data packet: ") + e.message());
    }
  }

  // The general-purpose queries are shared by every client: each sets one
  // to a statement of the same shape and fetches through it.
  void GeneralPurposeQuery(int i) {
    const int index = (number_ + i) % 9;
    int32_t result = -1;
    const HResult status =
        proxy_.setQuery(u"select id_ditte, ragionesociale from ditte", index, result);
    Check(status, result, "setQuery");
    const std::u16string provider = index == 0 ? u"Select" : u"Select_" + U16(std::to_string(index));
    Fetch(provider);
  }

  // Inserts a row of this client's own, then changes it.
  void Apply(int i) {
    const int id = number_ * 1'000'000 + i;
    const std::string insert = R"({"insert":[{"ID":)" + std::to_string(id) + R"(,"CLIENT":)" +
                               std::to_string(number_) + R"(,"V":"new"}]})";
    const std::string modify = R"({"modify":[{"old":{"ID":)" + std::to_string(id) +
                               R"(},"new":{"V":"changed"}}]})";
    for (const std::string& json : {insert, modify}) {
      Variant delta;
      try {
        const auto packet = json::DeltaFromJson(json::Json::parse(json), fields_, "WINDOWS-1252");
        delta = Variant::Bytes(packets::Encode(packet, packets::Encoding::Binary));
      } catch (const std::exception& e) {
        figures_.Fail(std::string("delta: ") + e.what());
        return;
      }
      int32_t error_count = -1;
      Variant owner, result;
      const HResult status = proxy_.AS_ApplyUpdates(u"L", delta, 0, error_count, owner, result);
      std::string what = "AS_ApplyUpdates";
      if (status == S_OK && error_count != 0) {
        try {
          for (const auto& row : packets::DecodeErrorPacket(result.bytes()).rows) what += ": " + row.message;
        } catch (const Error&) {
        }
      }
      Check(status, error_count, what.c_str());
    }
  }

  // Routines of the accounting services and the session.
  void Routines() {
    int32_t result = -1;
    const HResult can_do = proxy_.CanDo(1, u"MENU", result);
    Check(can_do, 0, "CanDo");
    Variant last;
    Check(proxy_.CheckNumRegistrazione(u"00001", 2024, 1, last, 1, 1, result), 0,
          "CheckNumRegistrazione");
    const HResult exec = proxy_.ExecSQL(u"update load_rows set v = v where id = -1", result);
    Check(exec, result, "ExecSQL");
  }

  std::unique_ptr<transport::RemoteObject> object_;
  client::OrvalaProxy proxy_;
  int number_;
  Figures& figures_;
  std::vector<packets::Field> fields_;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&] {
      if (i + 1 >= argc) throw Error("missing value after " + arg);
      return std::atoi(argv[++i]);
    };
    if (arg == "--clients") options.clients = next();
    else if (arg == "--calls") options.calls = next();
    else if (arg == "--timeout") options.timeout_seconds = next();
    else throw Error("unknown argument " + arg + "; usage: orvala-load [--clients N] [--calls M] [--timeout S]");
  }
  return options;
}

// Clients numbered from `first`: each number owns its rows.
void RunClients(const ServerProgram& server, int first, int clients, int calls, Figures& figures) {
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&server, &figures, number = first + c, calls] {
      try {
        LoadClient(server, number, figures).Run(calls);
      } catch (const std::exception& e) {
        figures.Fail(std::string("client: ") + e.what());
      }
    });
  }
  for (auto& t : threads) t.join();
}

int Main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  std::thread([seconds = options.timeout_seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::fprintf(stderr, "orvala-load: still running after %d s; giving up\n", seconds);
    std::_Exit(3);
  }).detach();

  TempDir dir;
  const auto database = FreshDatabase(dir);
  {
    driver::Connection admin;
    admin.SetParam("Database", database.string());
    driver::UseAdministrator(admin);
    admin.ExecuteImmediate(
        "create table load_rows (id integer not null primary key, client integer, v varchar(20))");
  }
  ServerProgram server(dir.path(), database.string());

  // One client first, so that caches and pools the server keeps for its
  // whole life are in the baseline.
  Figures warm_up;
  RunClients(server, 0, 1, 50, warm_up);
  auto settle = [&server](int threads_wanted) {
    for (int i = 0; i < 100 && server.Threads() > threads_wanted; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
  const int threads_before = server.Threads();
  const long rss_before = server.RssKb();

  std::atomic<bool> running{true};
  std::atomic<long> rss_peak{rss_before};
  std::atomic<int> threads_peak{threads_before};
  std::thread sampler([&] {
    while (running) {
      rss_peak = std::max(rss_peak.load(), server.RssKb());
      threads_peak = std::max(threads_peak.load(), server.Threads());
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  Figures figures;
  const auto start = std::chrono::steady_clock::now();
  RunClients(server, 1, options.clients, options.calls, figures);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  running = false;
  sampler.join();
  settle(threads_before);
  const int threads_after = server.Threads();
  const long rss_after = server.RssKb();

  std::printf("clients             %d\n", options.clients);
  std::printf("calls per client    %d\n", options.calls);
  std::printf("calls made          %ld in %.1f s (%.0f calls/s)\n", figures.calls.load(), seconds,
              figures.calls.load() / seconds);
  std::printf("errors              %ld%s%s\n", figures.errors.load(),
              figures.first_error.empty() ? "" : "; first: ", figures.first_error.c_str());
  std::printf("server threads      before %d, peak %d, after %d\n", threads_before,
              threads_peak.load(), threads_after);
  std::printf("server RSS (KiB)    before %ld, peak %ld, after %ld\n", rss_before, rss_peak.load(),
              rss_after);
  // Memory freed by the clients' objects stays with the allocator, which
  // keeps a share of it for reuse: "near" is within a quarter of what the
  // load added, or 16 MiB.
  const long allowed = rss_before + std::max(16L * 1024, (rss_peak.load() - rss_before) / 4);
  bool ok = true;
  if (figures.errors != 0 || warm_up.errors != 0) {
    std::printf("FAIL: calls failed%s%s\n", warm_up.first_error.empty() ? "" : "; warm-up: ",
                warm_up.first_error.c_str());
    ok = false;
  }
  if (threads_after > threads_before) {
    std::printf("FAIL: the server kept %d threads\n", threads_after - threads_before);
    ok = false;
  }
  if (rss_after > allowed) {
    std::printf("FAIL: server memory %ld KiB after, above %ld KiB\n", rss_after, allowed);
    ok = false;
  }
  if (!server.alive() || server.Stop() != 0) {
    std::printf("FAIL: the server did not end cleanly\n");
    ok = false;
  }
  std::printf("%s\n", ok ? "PASS" : "FAIL");
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace orvala::testing

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    return orvala::testing::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvala-load: %s\n", e.what());
    return 2;
  }
}
