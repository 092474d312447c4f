// orvala-frame-memory: what large request frames cost the server in
// memory. It starts the real server program, connects four clients, and
// sends a request frame of nearly 64 MiB (the default frame limit) from
// one client, then from all four at once, reading the server's resident
// memory before, at its peak during the calls, and after them.
//
//   orvala-frame-memory --server PATH [--mib N]
//
// The argument is a byte string (a packet) and then a text of the same
// size, since a text is held as UTF-16 and so costs twice its UTF-8 bytes.
// Prints one Markdown table. A measurement, not a test: nothing is asserted.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/server_child.h"
#include "common/error.h"
#include "server/type_library.h"
#include "transport/client_connection.h"

namespace {

using namespace orvala;

double MiB(size_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// The peak resident memory is counted again from now (VmHWM).
void ResetPeak(pid_t pid) {
  std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

struct Row {
  std::string what;
  size_t before, peak, after;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Measures the server's memory for large request frames"};
  std::string server;
  size_t mib = 63;
  app.add_option("--server", server, "The orvala-server program")->required();
  app.add_option("--mib", mib, "Size of each request's argument in MiB (below the frame limit)");
  CLI11_PARSE(app, argc, argv);
  try {
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("orvala-frame-memory-" + std::to_string(getpid()));
    std::filesystem::create_directories(work);
    bench::ServerChild child(server, work / "registry", work / "run");
    std::vector<std::unique_ptr<transport::RemoteObject>> clients;
    for (int i = 0; i < 4; ++i) {
      transport::ConnectOptions options;
      options.endpoint = child.endpoint();
      clients.push_back(transport::RemoteObject::Connect(options));
    }
    // AS_DataRequest on a provider that does not exist: the server decodes
    // the whole frame, and the call fails at once without other work.
    const server::MethodDef& method = *server::MethodByName("AS_DataRequest");
    const size_t size = mib << 20;
    const auto call = [&](transport::RemoteObject& client, bool text) {
      std::vector<Variant> args = {
          Variant::BStr(u"NoSuchProvider"),
          text ? Variant::BStr(std::u16string(size, u'x')) : Variant::Bytes(ByteArray(size, 0x5A))};
      client.Invoke(method, args);
    };
    std::vector<Row> rows;
    for (const bool text : {false, true}) {
      for (const int at_once : {1, 4}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Row row{std::to_string(at_once) + (at_once == 1 ? " frame" : " frames at once") + " of " +
                    std::to_string(mib) + " MiB, " + (text ? "a text" : "a byte string"),
                child.ResidentBytes(), 0, 0};
        ResetPeak(child.pid());
        std::vector<std::thread> threads;
        for (int i = 0; i < at_once; ++i) {
          threads.emplace_back([&, i] { call(*clients[i], text); });
        }
        for (std::thread& t : threads) t.join();
        row.peak = child.PeakResidentBytes();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        row.after = child.ResidentBytes();
        rows.push_back(row);
      }
    }
    std::printf("| Request | RSS before | Peak during | Peak rise per frame | RSS after |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    for (const Row& r : rows) {
      const int frames = r.what[0] - '0';
      std::printf("| %s | %.0f MiB | %.0f MiB | %.1f x the frame | %.0f MiB |\n", r.what.c_str(),
                  MiB(r.before), MiB(r.peak),
                  (MiB(r.peak) - MiB(r.before)) / frames / static_cast<double>(mib), MiB(r.after));
    }
    clients.clear();
    std::filesystem::remove_all(work);
    return 0;
  } catch (const Error& e) {
    std::fprintf(stderr, "orvala-frame-memory: %s\n", e.message());
    return 1;
  }
}
