// orvala-cluster-bench: the sizing figures of docs/deployment.md. It starts
// the cluster of tests/cluster.h over a fresh demo database with 1 and
// then 2 app servers and measures, through HAProxy:
//   - calls per second of 16 clients, each repeating GetSession, a fetch of
//     the catalogue provider SelectArticoli and a fetch of a run-time
//     provider of its own over the same table;
//   - the app servers' memory per client (resident set with the 16 clients
//     signed in and working, less the resident set before, per client);
//   - what HAProxy adds to a round trip: GetSession straight to an app
//     server and through HAProxy, interleaved in blocks, p50 and p99.
//
// With --tls the app servers speak TLS, with certificates made for the run.
//
//   orvala-cluster-bench [--clients N] [--seconds S] [--round-trips N] [--tls]
#include <CLI/CLI.hpp>

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "bench/stats.h"
#include "client/orvala_proxy.h"
#include "common/error.h"
#include "tests/cluster.h"
#include "tests/database_fixture.h"
#include "transport/test_certificates.h"

namespace orvala::bench {
namespace {

using testing::Cluster;

struct Session {
  std::unique_ptr<transport::RemoteObject> object;
  std::unique_ptr<client::OrvalaProxy> proxy;
};

Session SignIn(const transport::ConnectOptions& options) {
  Session session;
  session.object = transport::RemoteObject::Connect(options);
  session.proxy = std::make_unique<client::OrvalaProxy>(*session.object);
  Variant id_utenti;
  int32_t login = -1, added = -1;
  if (session.proxy->OpenDB() != S_OK ||
      session.proxy->Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, login) != S_OK || login != 0 ||
      session.proxy->AddProvider(u"R", u"select * from articoli", added) != S_OK || added != 0) {
    throw Error("a client could not sign in");
  }
  return session;
}

// One round of the mix; false when a call failed.
bool Mix(client::OrvalaProxy& proxy) {
  Variant session_number, params, owner, data;
  int32_t result = -1, recs = 0;
  bool ok = proxy.GetSession(session_number, result) == S_OK;
  ok = proxy.AS_GetRecords(u"SelectArticoli", -1, recs, 0, u"", params, owner, data) == S_OK && ok;
  ok = proxy.AS_GetRecords(u"R", -1, recs, 0, u"", params, owner, data) == S_OK && ok;
  return ok;
}

long ServersRssKb(Cluster& cluster) {
  long total = 0;
  for (int i = 0; i < cluster.servers(); ++i) total += cluster.server(i).RssKb();
  return total;
}

struct Throughput {
  double calls_per_second = 0;
  double kb_per_client = 0;
  long failed = 0;
};

Throughput MeasureClients(Cluster& cluster, int clients, int seconds) {
  // One client first, so that what a server keeps for its whole life (the
  // catalogue, caches) is in the baseline: through each server directly.
  for (int i = 0; i < cluster.servers(); ++i) Mix(*SignIn(cluster.Direct(i)).proxy);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long rss_before = ServersRssKb(cluster);

  std::atomic<bool> stop{false};
  std::atomic<long> calls{0}, failed{0}, signed_in{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      try {
        Session session = SignIn(cluster.Through());
        ++signed_in;
        while (!stop) {
          if (!Mix(*session.proxy)) ++failed;
          calls += 3;
        }
      } catch (const Error&) {
        ++failed;
      }
    });
  }
  while (signed_in + failed < clients) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const long calls_at_start = calls;
  const Clock::time_point start = Clock::now();
  long rss_peak = rss_before;
  while (SecondsSince(start) < seconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rss_peak = std::max(rss_peak, ServersRssKb(cluster));
  }
  const long calls_made = calls - calls_at_start;
  const double elapsed = SecondsSince(start);
  stop = true;
  for (auto& t : threads) t.join();
  return {calls_made / elapsed, static_cast<double>(rss_peak - rss_before) / clients, failed.load()};
}

struct RoundTrips {
  double direct_p50 = 0, direct_p99 = 0, through_p50 = 0, through_p99 = 0;
};

RoundTrips MeasureRoundTrips(Cluster& cluster, int count) {
  Session direct = SignIn(cluster.Direct(0));
  Session through = SignIn(cluster.Through());
  std::vector<double> direct_us, through_us;
  constexpr int kBlock = 100;
  for (int done = 0; done < count; done += kBlock) {
    for (auto [session, samples] : {std::pair{&direct, &direct_us}, std::pair{&through, &through_us}}) {
      for (int i = 0; i < kBlock; ++i) {
        Variant number;
        int32_t result = -1;
        HResult status = S_OK;
        samples->push_back(Time([&] { status = session->proxy->GetSession(number, result); }) * 1e6);
        if (status != S_OK) throw Error("GetSession failed during the round trips");
      }
    }
  }
  return {Median(direct_us), Quantile(direct_us, 0.99), Median(through_us), Quantile(through_us, 0.99)};
}

int Main(int argc, char** argv) {
  int clients = 16, seconds = 10, round_trips = 5000;
  bool tls = false;
  CLI::App app("Sizing figures of the cluster");
  app.add_option("--clients", clients);
  app.add_option("--seconds", seconds);
  app.add_option("--round-trips", round_trips);
  app.add_flag("--tls", tls);
  CLI11_PARSE(app, argc, argv);

  std::printf("| App servers | Clients | Calls per second | Server memory per client | Failed |\n"
              "|---|---|---|---|---|\n");
  RoundTrips trips;
  for (int servers : {1, 2}) {
    testing::TempDir dir;
    const auto database = testing::FreshDatabase(dir);
    testing::ClusterOptions options;
    options.servers = servers;
    std::optional<testing::TestAuthority> authority;
    if (tls) {
      std::filesystem::create_directories(dir / "tls");
      authority.emplace(dir / "tls", "Orvala bench CA");
      const auto files = authority->Issue("server", "IP:127.0.0.1,DNS:localhost");
      options.tls = testing::ClusterTls{files.cert, files.key, authority->cert()};
    }
    Cluster cluster(dir / "cluster", database, options);
    const Throughput figures = MeasureClients(cluster, clients, seconds);
    std::printf("| %d | %d | %.0f | %.0f KiB | %ld |\n", servers, clients, figures.calls_per_second,
                figures.kb_per_client, figures.failed);
    std::fflush(stdout);
    if (servers == 1) trips = MeasureRoundTrips(cluster, round_trips);
  }
  std::printf("\n| GetSession round trip | p50 | p99 |\n|---|---|---|\n"
              "| straight to the app server | %.0f µs | %.0f µs |\n"
              "| through HAProxy | %.0f µs | %.0f µs |\n",
              trips.direct_p50, trips.direct_p99, trips.through_p50, trips.through_p99);
  return 0;
}

}  // namespace
}  // namespace orvala::bench

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  try {
    return orvala::bench::Main(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvala-cluster-bench: %s\n", e.what());
    return 1;
  }
}
