// orvala-bench: the performance figures of the server, each measured beside
// a baseline that does the same work by the shortest path, in the same run.
//
//   orvala-bench --work DIR --server PATH [--lines N] [--reps N] [--table FILE]
//
// It creates a fresh reference database with N generated journal lines in
// DIR, runs the figures and prints one Markdown table (also written to
// FILE). Every target is a ratio against the in-run baseline, because
// timings on a shared machine move from run to run.
#include <sys/resource.h>

#include <barrier>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/raw_echo.h"
#include "bench/raw_firebird.h"
#include "bench/server_child.h"
#include "bench/stats.h"
#include "client/client_dataset.h"
#include "client/orvala_proxy.h"
#include "common/error.h"
#include "database/reference_database.h"
#include "driver/administrator.h"
#include "driver/connection.h"
#include "driver/firebird_root.h"
#include "driver/query.h"
#include "packets/packet_variant.h"
#include "providers/sql_names.h"
#include "providers/update_sql.h"
#include "registry/database_location.h"
#include "server/orvala.h"
#include "server/server_process.h"
#include "tests/firebird_server.h"
#include "transport/client_connection.h"
#include "transport/wire.h"

namespace orvala::bench {
namespace {

namespace fs = std::filesystem;
constexpr int32_t kWithMetadata = 1;
constexpr int32_t kXmlPackets = 4;

struct Options {
  fs::path work;
  fs::path server;
  int lines = 100'000;
  int reps = 5;
  int session_calls = 20'000;
  int million_factor = 10;  // figure 7 fetches lines × this many rows
  fs::path table;
};

struct Figure {
  std::string name, ours, baseline, ratio, target;
  bool met;
};

std::string Fixed(double v, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}
std::string Ms(double seconds) { return Fixed(seconds * 1e3, 1) + " ms"; }
std::string Us(double seconds) { return Fixed(seconds * 1e6, 1) + " µs"; }
std::string Mb(double bytes) { return Fixed(bytes / (1 << 20), 1) + " MB"; }

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void Log(const std::string& line) { std::cerr << "bench: " << line << std::endl; }

void Check(HResult status, const client::OrvalaProxy& proxy, const char* what) {
  if (!Failed(status)) return;
  throw Error(std::string(what) + " failed: " +
              (proxy.last_error() ? std::string(proxy.last_error()->description.begin(),
                                                proxy.last_error()->description.end())
                                  : std::to_string(status)));
}

// The rows of one provider, as a client asks for them.
int32_t Fetch(client::OrvalaProxy& proxy, const std::u16string& provider, int32_t count,
              int32_t options, Variant& packet) {
  int32_t recs = 0;
  Variant params, owner;
  Check(proxy.AS_GetRecords(provider, count, recs, options, u"", params, owner, packet), proxy,
        "AS_GetRecords");
  return recs;
}

void AddProvider(client::OrvalaProxy& proxy, const std::u16string& name, const std::string& sql) {
  int32_t result = 1;
  Check(proxy.OpenDB(), proxy, "OpenDB");
  Check(proxy.AddProvider(name, std::u16string(sql.begin(), sql.end()), result), proxy,
        "AddProvider");
  if (result != 0) throw Error("AddProvider refused " + sql);
}

std::unique_ptr<transport::RemoteObject> Connect(const std::string& endpoint) {
  transport::ConnectOptions options;
  options.endpoint = endpoint;
  return transport::RemoteObject::Connect(options);
}

class Bench {
 public:
  explicit Bench(Options options) : o_(std::move(options)) {}

  std::vector<Figure> Run() {
    CreateDatabase();
    raw_ = std::make_unique<RawDatabase>(database_.string());
    process_ = std::make_unique<server::ServerProcess>(registry::Registry(o_.work / "registry"));
    object_ = std::make_unique<server::TOrvala>(*process_);
    proxy_ = std::make_unique<client::OrvalaProxy>(*object_);
    AddProvider(*proxy_, u"BenchLines", lines_sql_);
    AddProvider(*proxy_, u"BenchUpdate", update_sql_);

    FigureOneAndThree();
    FigureFour();
    {
      ServerChild server(o_.server, o_.work / "registry", o_.work / "run");
      FigureTwo(server);
      FigureEight(server);
      FigureFive(server);
      FigureSix(server);
    }
    FigureSeven();
    FigureSevenB();
    std::vector<Figure> ordered;
    for (const char* n : {"1", "2", "3a", "3b", "4", "5", "6", "7", "7b", "8a", "8b", "9"}) {
      for (const Figure& f : figures_) {
        if (f.name.rfind(std::string(n) + " ", 0) == 0) ordered.push_back(f);
      }
    }
    return ordered;
  }

 private:
  void CreateDatabase() {
    fs::create_directories(o_.work);
    database_ = o_.work / "bench.fdb";
    fs::remove(database_);
    Log("creating " + database_.string());
    database::CreateOptions create;
    create.scripts_dir = database::DefaultScriptsDir();
    create.demo_data = true;
    create.bench_routines = true;
    create.forced_writes = false;
    database::CreateReferenceDatabase(database_, create);

    driver::Connection admin;
    admin.SetParam("Database", database_.string());
    driver::UseAdministrator(admin);
    const std::string where = " WHERE ID_DITTE = '00001' AND ID_ANNO = 2024";
    const int64_t base = Scalar(admin, "SELECT COALESCE(MAX(MC_NUMREG), 0) FROM MOVIMENTI_CONTABILI" + where);
    Log("generating " + std::to_string(o_.lines) + " journal lines");
    const double took = Time([&] {
      admin.ExecuteImmediate("EXECUTE PROCEDURE GENERATE_BENCH_DATA(" + std::to_string(o_.lines) + ", 0)");
    });
    Log("generated in " + Fixed(took, 1) + " s");
    const std::string after = where + " AND MC_NUMREG > " + std::to_string(base);
    lines_sql_ = "SELECT * FROM MOVIMENTI_CONTABILI" + after;
    // Four lines per registration: 2,500 registrations are 10,000 rows.
    update_sql_ = lines_sql_ + " AND MC_NUMREG <= " + std::to_string(base + 2500);
    small_sql_ = lines_sql_ + " AND MC_NUMREG <= " + std::to_string(base + 250);
    million_sql_ = "SELECT M.* FROM MOVIMENTI_CONTABILI M CROSS JOIN (SELECT FIRST " +
                   std::to_string(o_.million_factor) +
                   " R.RDB$RELATION_ID FROM RDB$RELATIONS R) X" + after;
    columns_ = static_cast<int>(Scalar(
        admin, "SELECT COUNT(*) FROM RDB$RELATION_FIELDS WHERE RDB$RELATION_NAME = 'MOVIMENTI_CONTABILI'"));
    if (Scalar(admin, "SELECT COUNT(*) FROM MOVIMENTI_CONTABILI" + after) != o_.lines) {
      throw Error("The generator did not write the lines asked for");
    }
    // The rows without the text BLOB, for the peer figure that leaves it out.
    std::string columns;
    {
      driver::Query q("columns");
      q.SetConnection(&admin);
      q.SetSql({"SELECT TRIM(R.RDB$FIELD_NAME) FROM RDB$RELATION_FIELDS R JOIN RDB$FIELDS F "
                "ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE WHERE R.RDB$RELATION_NAME = "
                "'MOVIMENTI_CONTABILI' AND F.RDB$FIELD_TYPE <> 261 ORDER BY R.RDB$FIELD_POSITION"});
      q.Open();
      while (q.Next()) columns += (columns.empty() ? "" : ", ") + std::get<std::string>(q.row()[0]);
    }
    no_blob_sql_ = "SELECT " + columns + " FROM MOVIMENTI_CONTABILI" + after;
    registry::WriteDatabaseLocation(registry::Registry(o_.work / "registry"), database_.string());
  }

  static int64_t Scalar(driver::Connection& connection, const std::string& sql) {
    driver::Query q("scalar");
    q.SetConnection(&connection);
    q.SetSql({sql});
    q.Open();
    if (!q.Next()) return -1;
    const Value& v = q.row()[0];
    if (const auto* i = std::get_if<int32_t>(&v)) return *i;
    if (const auto* l = std::get_if<int64_t>(&v)) return *l;
    return -1;
  }

  void Add(std::string name, std::string ours, std::string baseline, double ratio,
           std::string target, bool met) {
    figures_.push_back({std::move(name), std::move(ours), std::move(baseline), Fixed(ratio, 2) + "×",
                        std::move(target), met});
    Log(figures_.back().name + ": " + figures_.back().ours + " vs " + figures_.back().baseline +
        " = " + figures_.back().ratio + (met ? " (met)" : " (NOT met)"));
  }

  const std::string lines_label() const {
    return std::to_string(o_.lines) + " rows × " + std::to_string(columns_) + " columns";
  }

  void FigureOneAndThree() {
    Variant packet;
    Fetch(*proxy_, u"BenchLines", -1, kWithMetadata, packet);  // warms the caches
    packet_bytes_ = packet.bytes().size();
    raw_->FetchAll(lines_sql_);
    std::vector<double> ours, raw, sliced;
    std::vector<double> first10, last10;
    for (int rep = 0; rep < o_.reps; ++rep) {
      ours.push_back(Time([&] {
        if (Fetch(*proxy_, u"BenchLines", -1, kWithMetadata, packet) != o_.lines) {
          throw Error("AS_GetRecords did not answer every row");
        }
      }));
      raw.push_back(Time([&] {
        if (raw_->FetchAll(lines_sql_) != o_.lines) throw Error("The raw fetch missed rows");
      }));
      std::vector<double> slices;
      int64_t total = 0;
      sliced.push_back(Time([&] {
        for (int32_t options = kWithMetadata;; options = 0) {
          int32_t got = 0;
          slices.push_back(Time([&] { got = Fetch(*proxy_, u"BenchLines", 1000, options, packet); }));
          total += got;
          if (got < 1000) break;
        }
      }));
      if (total != o_.lines || slices.size() < 20) throw Error("The slices missed rows");
      const size_t full = static_cast<size_t>(o_.lines / 1000);
      first10.push_back(Mean(slices, 0, 10));
      last10.push_back(Mean(slices, full - 10, full));
    }
    raw_fetch_ = Median(raw);
    ours_fetch_ = Median(ours);
    Add("1 AS_GetRecords(-1), in process, " + lines_label(), Ms(ours_fetch_),
        Ms(raw_fetch_) + " raw Firebird fetch", ours_fetch_ / raw_fetch_, "≤ 1.15×",
        ours_fetch_ <= 1.15 * raw_fetch_);
    const double slice_total = Median(sliced);
    Add("3a figure 1 (one call) against the same rows in slices of 1,000", Ms(ours_fetch_),
        Ms(slice_total) + " in slices, total", ours_fetch_ / slice_total, "≤ 1.0×",
        ours_fetch_ <= slice_total);
    const double f10 = Median(first10), l10 = Median(last10);
    Add("3b mean of the last 10 slices vs the first 10", Ms(l10), Ms(f10) + " first 10",
        l10 / f10, "≤ 1.2×", l10 <= 1.2 * f10);
  }

  void FigureFour() {
    Variant packet;
    Fetch(*proxy_, u"BenchUpdate", -1, kWithMetadata, packet);
    client::ClientDataset data;
    data.AppendData(packet);
    const size_t rows = data.row_count();
    const std::string quoted = providers::QuoteTableName(
        providers::TableNameFromSql(update_sql_), "\"");
    int round = 0;
    auto modify_all = [&] {
      ++round;
      for (size_t i = 0; i < rows; ++i) {
        data.MoveTo(i);
        data.Set("MC_DESCRIZIONE", std::string("BENCH UPDATE ") + std::to_string(round) + " " +
                                       std::to_string(i));
      }
      return data.Delta();
    };
    std::vector<double> ours, raw;
    for (int rep = 0; rep < o_.reps; ++rep) {
      const Variant delta = packets::ToVariant(modify_all(), packets::Encoding::Binary);
      int32_t errors = 0;
      Variant owner, result;
      ours.push_back(Time([&] {
        Check(proxy_->AS_ApplyUpdates(u"BenchUpdate", delta, 0, errors, owner, result), *proxy_,
              "AS_ApplyUpdates");
      }));
      if (errors != 0) throw Error("AS_ApplyUpdates failed rows");
      data.MergeChangeLog();

      const packets::DeltaPacket by_hand = modify_all();
      std::vector<providers::UpdateStatement> statements;
      for (const packets::DeltaRow& row : by_hand.rows) {
        statements.push_back(providers::BuildUpdateStatement(row.kind, by_hand.fields, row, quoted, "\""));
      }
      std::vector<RawDatabase::Statement> runs;
      for (const auto& s : statements) runs.push_back({&s.sql, &s.params});
      raw.push_back(Time([&] { raw_->RunInOneTransaction(runs); }));
      data.MergeChangeLog();
    }
    const double a = Median(ours), b = Median(raw);
    Add("4 AS_ApplyUpdates of " + std::to_string(rows) + " modified rows", Ms(a),
        Ms(b) + " same UPDATEs by hand", a / b, "≤ 1.2×", a <= 1.2 * b);
  }

  // One fetch over the socket decoded into a client dataset; returns its
  // time, and the call's and the decoding's parts of it.
  double SocketFetch(client::OrvalaProxy& proxy, const std::u16string& provider, int32_t options,
                     double* call = nullptr, double* decode = nullptr) {
    double c = 0, d = 0;
    const double t = Time([&] {
      Variant packet;
      c = Time([&] { Fetch(proxy, provider, -1, options, packet); });
      d = Time([&] {
        client::ClientDataset data;
        data.AppendData(packet);
        if (data.row_count() != static_cast<size_t>(o_.lines)) throw Error("The dataset missed rows");
      });
    });
    if (call) *call = c;
    if (decode) *decode = d;
    return t;
  }

  // Figure 2, and figure 9: the same fetch in XML packets beside it.
  void FigureTwo(ServerChild& server) {
    auto remote = Connect(server.endpoint());
    client::OrvalaProxy proxy(*remote);
    AddProvider(proxy, u"BenchLines", lines_sql_);
    std::vector<double> times, calls, decodes, raw, xml, xml_calls, xml_decodes;
    for (int rep = 0; rep < o_.reps + 1; ++rep) {
      raw.push_back(Time([&] { raw_->FetchAll(lines_sql_); }));
      double call = 0, decode = 0, xml_call = 0, xml_decode = 0;
      const double t = SocketFetch(proxy, u"BenchLines", kWithMetadata, &call, &decode);
      const double x =
          SocketFetch(proxy, u"BenchLines", kWithMetadata | kXmlPackets, &xml_call, &xml_decode);
      if (rep == 0) continue;  // the first warms the server's caches
      times.push_back(t);
      calls.push_back(call);
      decodes.push_back(decode);
      xml.push_back(x);
      xml_calls.push_back(xml_call);
      xml_decodes.push_back(xml_decode);
    }
    const double a = Median(times), b = Median(raw);
    socket_split_ = "the call " + Ms(Median(calls)) + ", the client dataset's decoding " +
                    Ms(Median(decodes));
    Log("2: " + socket_split_);
    Add("2 the same over the local socket, into the client dataset", Ms(a),
        Ms(b) + " figure 1's baseline, measured beside it", a / b, "≤ 1.5×", a <= 1.5 * b);

    Variant packet;
    Fetch(proxy, u"BenchLines", -1, kWithMetadata | kXmlPackets, packet);
    xml_note_ = "packet " + Mb(static_cast<double>(packet.bytes().size())) + "; the call " +
                Ms(Median(xml_calls)) + ", the client dataset's decoding " + Ms(Median(xml_decodes));
    const double x = Median(xml);
    Add("9 figure 2 in XML packets (options bit 4)", Ms(x), Ms(a) + " figure 2 (binary packets)",
        x / a, "≤ 3×", x <= 3 * a);
  }

  // Ours over the socket into the client dataset, against a client that
  // reads the same rows over Firebird's own remote protocol from a Firebird
  // server on a loopback port of its own. That server serves a copy of the
  // database file, so that it never shares the file with the embedded
  // engine that ours uses.
  void FigureEight(ServerChild& server) {
    if (!testing::FirebirdServerInstalled()) {
      peer_note_ = "not run: the Firebird server is not installed";
      Log("8: " + peer_note_);
      return;
    }
    const fs::path copy = o_.work / "peer.fdb";
    fs::copy_file(database_, copy, fs::copy_options::overwrite_existing);
    testing::FirebirdServer firebird(o_.work / "firebird-server");  // stopped as it goes
    firebird.Start();
    RawDatabase peer(firebird.Location(copy));
    auto remote = Connect(server.endpoint());
    client::OrvalaProxy proxy(*remote);
    struct Case {
      const char* name;
      const std::string* sql;
      std::u16string provider;
      double target;
    };
    const Case cases[] = {
        {"8a ours over the socket / Firebird's own remote protocol, BLOB text included", &lines_sql_,
         u"BenchLines", 0.4},
        {"8b the same without the BLOB column", &no_blob_sql_, u"BenchLinesNoBlob", 0.8},
    };
    for (const Case& c : cases) {
      AddProvider(proxy, c.provider, *c.sql);
      std::vector<double> ours, theirs;
      for (int rep = 0; rep < o_.reps + 1; ++rep) {
        const double t = SocketFetch(proxy, c.provider, kWithMetadata);
        const double p = Time([&] {
          if (peer.FetchAll(*c.sql) != o_.lines) throw Error("The peer fetch missed rows");
        });
        if (rep == 0) continue;  // the first warms both servers' caches
        ours.push_back(t);
        theirs.push_back(p);
      }
      const double a = Median(ours), b = Median(theirs);
      Add(c.name, Ms(a), Ms(b) + " Firebird's remote protocol, loopback TCP", a / b,
          "≤ " + Fixed(c.target, 1) + "×", a <= c.target * b);
    }
  }

  void FigureFive(ServerChild& server) {
    auto remote = Connect(server.endpoint());
    client::OrvalaProxy proxy(*remote);
    const server::MethodDef& method = *server::MethodByName("GetSession");
    std::vector<double> ours;
    ours.reserve(static_cast<size_t>(o_.session_calls));
    Variant session;
    int32_t result = 1;
    for (int i = 0; i < o_.session_calls + 100; ++i) {
      const double t = Time([&] { Check(proxy.GetSession(session, result), proxy, "GetSession"); });
      if (i >= 100) ours.push_back(t);  // after a short warm-up
    }
    // The same byte counts as the call and its reply on the wire.
    const size_t request = transport::wire::EncodeFrame(transport::wire::ClientFrame(
        transport::wire::CallRequest{transport::wire::CallTarget::kSlot, method.slot, {Variant()}})).size();
    transport::wire::CallReply reply;
    reply.result = Variant::I4(result);
    reply.out.push_back({0, session});
    const size_t answer = transport::wire::EncodeFrame(transport::wire::ServerFrame(reply)).size();
    const std::vector<double> raw = RawEchoRoundTrips(request, answer, o_.session_calls);
    const double p50 = Quantile(ours, 0.5), p99 = Quantile(ours, 0.99);
    const double r50 = Quantile(raw, 0.5), r99 = Quantile(raw, 0.99);
    Add("5 GetSession round trip, p50 (" + std::to_string(o_.session_calls) + " calls; " +
            std::to_string(request) + " B out, " + std::to_string(answer) + " B back)",
        Us(p50), Us(r50) + " raw echo", p50 / r50, "≤ 1.5×", p50 <= 1.5 * r50);
    Add("5 GetSession round trip, p99 (reported, no target)", Us(p99), Us(r99) + " raw echo",
        p99 / r99, "-", true);
  }

  // Each client: its own object and provider, then `fetches` full fetches
  // decoded into a client dataset. Returns fetches per second over all.
  double Throughput(ServerChild& server, int clients, int fetches, int& errors) {
    std::barrier start(clients + 1), done(clients + 1);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&] {
        std::unique_ptr<transport::RemoteObject> remote;
        std::optional<client::OrvalaProxy> proxy;
        try {
          remote = Connect(server.endpoint());
          proxy.emplace(*remote);
          AddProvider(*proxy, u"BenchSmall", small_sql_);
        } catch (const Error&) {
          ++failures;
        }
        start.arrive_and_wait();
        for (int i = 0; proxy && i < fetches; ++i) {
          try {
            Variant packet;
            client::ClientDataset data;
            if (Fetch(*proxy, u"BenchSmall", -1, kWithMetadata, packet) != 1000) ++failures;
            data.AppendData(packet);
          } catch (const Error&) {
            ++failures;
          }
        }
        done.arrive_and_wait();
      });
    }
    start.arrive_and_wait();
    const Clock::time_point began = Clock::now();
    const double server_cpu = server.CpuSeconds(), own_cpu = OwnCpuSeconds();
    done.arrive_and_wait();
    const double took = SecondsSince(began);
    const double cpu = server.CpuSeconds() - server_cpu + OwnCpuSeconds() - own_cpu;
    (clients == 1 ? one_cores_ : many_cores_).push_back(cpu / took);
    Log(std::to_string(clients) + " client(s): " + Fixed(took, 2) + " s wall, server CPU " +
        Fixed(server.CpuSeconds() - server_cpu, 2) + " s, clients' CPU " +
        Fixed(OwnCpuSeconds() - own_cpu, 2) + " s");
    for (std::thread& t : threads) t.join();
    errors += failures;
    return clients * fetches / took;
  }

  void FigureSix(ServerChild& server) {
    const int clients = 16, fetches = 50;
    int errors = 0;
    std::vector<double> one, many;
    for (int rep = 0; rep < std::max(1, o_.reps / 2); ++rep) {
      one.push_back(Throughput(server, 1, fetches, errors));
      many.push_back(Throughput(server, clients, fetches, errors));
    }
    const double a = Median(many), b = Median(one);
    cores_note_ = "cores busy (server and clients' CPU time over wall time): one client " +
                  Fixed(Median(one_cores_), 2) + ", 16 clients " + Fixed(Median(many_cores_), 2);
    Add("6 16 clients × 50 fetches of 1,000 rows, aggregate (" + std::to_string(errors) + " errors)",
        Fixed(a, 1) + " fetches/s", Fixed(b, 1) + " fetches/s one client", a / b, "≥ 1.8×, 0 errors",
        a >= 1.8 * b && errors == 0);
  }

  // A freshly started server's memory around `fetch`, which runs over a
  // connection of its own on which the million-row provider is added.
  struct Memory {
    size_t idle, connected, peak;
  };
  Memory OnFreshServer(const std::function<void(client::OrvalaProxy&)>& fetch) {
    ServerChild server(o_.server, o_.work / "registry", o_.work / "run");
    const size_t idle = server.ResidentBytes();
    auto remote = Connect(server.endpoint());
    client::OrvalaProxy proxy(*remote);
    AddProvider(proxy, u"BenchMillion", million_sql_);
    const size_t connected = server.ResidentBytes();
    fetch(proxy);
    return {idle, connected, server.PeakResidentBytes()};
  }

  void FigureSeven() {
    int64_t total = 0;
    const int32_t slice = 10'000;
    const Memory m = OnFreshServer([&](client::OrvalaProxy& proxy) {
      for (int32_t options = kWithMetadata;; options = 0) {
        Variant packet;
        const int32_t got = Fetch(proxy, u"BenchMillion", slice, options, packet);
        total += packets::DataPacketFromVariant(packet).rows.size();
        if (got < slice) break;
      }
    });
    const int64_t expected = int64_t{o_.lines} * o_.million_factor;
    if (total != expected) throw Error("Figure 7 fetched " + std::to_string(total) + " rows");
    const double growth = static_cast<double>(m.peak) - static_cast<double>(m.idle);
    million_note_ = "idle " + Mb(m.idle) + ", after connecting and opening the database " +
                    Mb(m.connected) + ", peak " + Mb(m.peak);
    figures_.push_back({"7 server peak RSS growth, " + std::to_string(total) +
                            " rows in slices of 10,000",
                        Mb(growth) + " (peak " + Mb(m.peak) + ")", Mb(m.idle) + " idle RSS", "-",
                        "growth ≤ 100 MB", growth <= 100.0 * (1 << 20)});
    Log("7: " + million_note_);
  }

  // The same rows in one call: the server's peak growth from its idle RSS
  // against the size of the packet it answers.
  void FigureSevenB() {
    const int64_t expected = int64_t{o_.lines} * o_.million_factor;
    const std::string name = "7b server peak RSS growth, " + std::to_string(expected) +
                             " rows in one call, against the packet";
    Variant packet;
    std::string failure;
    const Memory m = OnFreshServer([&](client::OrvalaProxy& proxy) {
      try {
        Fetch(proxy, u"BenchMillion", -1, kWithMetadata, packet);
      } catch (const Error& e) {
        failure = e.message();
      }
    });
    if (!failure.empty()) {
      one_call_note_ = "not run to the end (peak " + Mb(m.peak) + "): " + failure;
      figures_.push_back({name, "-", "-", "-", "≤ 2.5×", false});
      Log("7b: " + one_call_note_);
      return;
    }
    const double growth = static_cast<double>(m.peak) - static_cast<double>(m.idle);
    const double bytes = static_cast<double>(packet.bytes().size());
    one_call_note_ = "idle " + Mb(m.idle) + ", after connecting and opening the database " +
                     Mb(m.connected) + ", peak " + Mb(m.peak) + ", packet " + Mb(bytes);
    Add(name, Mb(growth) + " (peak " + Mb(m.peak) + ")", Mb(bytes) + " packet", growth / bytes,
        "≤ 2.5×", growth <= 2.5 * bytes);
    Log("7b: " + one_call_note_);
  }

  Options o_;
  fs::path database_;
  std::string lines_sql_, update_sql_, small_sql_, million_sql_, no_blob_sql_;
  int columns_ = 0;
  std::unique_ptr<RawDatabase> raw_;
  std::unique_ptr<server::ServerProcess> process_;
  std::unique_ptr<server::TOrvala> object_;
  std::unique_ptr<client::OrvalaProxy> proxy_;
  double raw_fetch_ = 0, ours_fetch_ = 0;
  size_t packet_bytes_ = 0;
  std::string million_note_, socket_split_, cores_note_, one_call_note_, peer_note_, xml_note_;
  std::vector<double> one_cores_, many_cores_;
  std::vector<Figure> figures_;

 public:
  std::string Notes() const {
    return "- Packet of figure 1: " + Mb(static_cast<double>(packet_bytes_)) + ".\n" +
           "- Figure 2: " + socket_split_ + ".\n" +
           "- Figure 6: " + cores_note_ + ".\n" +
           "- Figure 7: " + million_note_ + ".\n" +
           "- Figure 7b: " + one_call_note_ + ".\n" +
           (peer_note_.empty() ? "" : "- Figure 8: " + peer_note_ + ".\n") +
           "- Figure 9 (XML): " + xml_note_ + ".\n" +
           "- Repetitions: " + std::to_string(o_.reps) + " (median); figure 6: " +
           std::to_string(std::max(1, o_.reps / 2)) + ".";
  }
};

std::string Table(const std::vector<Figure>& figures) {
  std::ostringstream out;
  out << "| Figure | Ours | Baseline | Ratio | Target | Met? |\n";
  out << "|---|---|---|---|---|---|\n";
  for (const Figure& f : figures) {
    out << "| " << f.name << " | " << f.ours << " | " << f.baseline << " | " << f.ratio << " | "
        << f.target << " | " << (f.met ? "yes" : "**no**") << " |\n";
  }
  return out.str();
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw Error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--work") o.work = next();
    else if (arg == "--server") o.server = next();
    else if (arg == "--lines") o.lines = std::stoi(next());
    else if (arg == "--reps") o.reps = std::stoi(next());
    else if (arg == "--session-calls") o.session_calls = std::stoi(next());
    else if (arg == "--table") o.table = next();
    else throw Error("Unknown argument " + arg);
  }
  if (o.work.empty() || o.server.empty()) {
    throw Error("usage: orvala-bench --work DIR --server PATH [--lines N] [--reps N] "
                "[--session-calls N] [--table FILE]");
  }
  if (o.lines < 20'000 || o.lines % 1000 != 0) throw Error("--lines: a multiple of 1,000 from 20,000");
  return o;
}

}  // namespace
}  // namespace orvala::bench

int main(int argc, char** argv) {
  using namespace orvala::bench;
  try {
    const Options options = Parse(argc, argv);
    orvala::driver::EnsureFirebirdRoot();
    Bench bench(options);
    const std::vector<Figure> figures = bench.Run();
    const std::string table = Table(figures) + "\n" + bench.Notes() + "\n";
    std::cout << table;
    if (!options.table.empty()) std::ofstream(options.table) << table;
    return 0;
  } catch (const orvala::Error& e) {
    std::cerr << "orvala-bench: " << e.message() << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "orvala-bench: " << e.what() << std::endl;
    return 1;
  }
}
