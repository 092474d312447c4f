// The whole system beyond one machine, on loopback: a Firebird server, two
// app servers and HAProxy (tests/cluster.h), with clients that connect
// through HAProxy as an office's clients would. One app server is killed
// and the Firebird server restarted under them; two app servers race for
// one row; a backup runs while clients write.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "client/orvala_proxy.h"
#include "client/provider_calls.h"
#include "common/error.h"
#include "driver/administrator.h"
#include "driver/query.h"
#include "tests/cluster.h"
#include "tests/database_fixture.h"
#include "transport/test_certificates.h"

namespace orvala::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kChangedByAnother[] = "Record not found or changed by another user";
constexpr int32_t kSharedRows[] = {1001, 1002};
constexpr int32_t kNotFetched = -1;

std::u16string U16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int64_t AsInt(const Value& value) {
  if (const auto* i = std::get_if<int32_t>(&value)) return *i;
  if (const auto* i = std::get_if<int64_t>(&value)) return *i;
  return -1;
}

// The administrator's connection to the cluster's database, as a tool on
// the database machine would open it.
class Admin {
 public:
  explicit Admin(const Cluster& cluster) {
    connection_.SetParam("Database", cluster.location());
    driver::UseAdministrator(connection_);
  }
  void Execute(const std::string& sql) { connection_.ExecuteImmediate(sql); }
  std::vector<std::vector<Value>> Rows(const std::string& sql) {
    driver::Query query;
    query.SetConnection(&connection_);
    query.SetSql({sql});
    query.Open();
    std::vector<std::vector<Value>> rows;
    while (query.Next()) rows.push_back(query.row());
    query.Close();
    return rows;
  }

 private:
  driver::Connection connection_;
};

// One client: a remote object through HAProxy, signed in, with a run-time
// provider over its own counter row and the shared ones.
class Client {
 public:
  Client(const Cluster& cluster, int number, transport::ConnectOptions options)
      : cluster_(cluster), number_(number), options_(std::move(options)) {}

  // Connects and signs in, again and again while an app server or the
  // database is away, for at most a minute.
  void SignIn() {
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    std::string last = "no attempt";
    while (std::chrono::steady_clock::now() < deadline) {
      try {
        proxy_.reset();
        object_ = transport::RemoteObject::Connect(options_);
        proxy_ = std::make_unique<client::OrvalaProxy>(*object_);
        Variant id_utenti;
        int32_t login = -1, added = -1;
        if (proxy_->OpenDB() == S_OK &&
            proxy_->Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, login) == S_OK && login == 0 &&
            proxy_->AddProvider(u"C",
                                U16("select id, client, target, n from cluster_rows where id in (" +
                                    std::to_string(number_) + ", 1001, 1002)"),
                                added) == S_OK &&
            added == 0) {
          return;
        }
        last = proxy_->last_error() ? proxy_->last_error()->description : "a method answered 1";
      } catch (const Error& e) {
        last = e.message();
      }
      std::this_thread::sleep_for(200ms);
    }
    throw Error("client " + std::to_string(number_) + " could not sign in again: " + last);
  }

  client::OrvalaProxy& proxy() { return *proxy_; }

  // Adds one to the counter row `target` and records that in a log row
  // `id`, in one delta: either both are applied or neither. The error count
  // of the apply (0: applied), or kNotFetched when the fetch did not return
  // the row and nothing was sent; throws Error when a call itself fails.
  int32_t Count(int32_t target, int32_t id, std::string& message) {
    client::ClientDataset rows;
    client::Fetch(*proxy_, u"C", rows);
    for (rows.First(); !rows.eof() && AsInt(rows.Get("ID")) != target; rows.Next()) {
    }
    // Firebird 3 in read committed can leave out of a select a row that
    // another transaction is changing or rolling back at that moment.
    if (rows.eof()) return kNotFetched;
    rows.Set("N", Value(static_cast<int32_t>(AsInt(rows.Get("N")) + 1)));
    rows.Insert();
    rows.Set("ID", Value(id));
    rows.Set("CLIENT", Value(static_cast<int32_t>(number_)));
    rows.Set("TARGET", Value(target));
    const client::ApplyOutcome outcome = client::Apply(*proxy_, u"C", rows, 0);
    message = outcome.errors.empty() ? "" : outcome.errors.front().error.message;
    return outcome.error_count;
  }

 private:
  const Cluster& cluster_;
  int number_;
  transport::ConnectOptions options_;
  std::unique_ptr<transport::RemoteObject> object_;
  std::unique_ptr<client::OrvalaProxy> proxy_;
};

class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ClusterInstalled()) {
      GTEST_SKIP() << "haproxy or firebird3.0-server is not installed (scripts/install-deps installs them)";
    }
    database_ = FreshDatabase(dir_);
  }

  // A counter row for each client and the shared ones, all at 0; log rows
  // name their counter in TARGET.
  static void CreateCounters(Admin& admin, int clients) {
    admin.Execute("create table cluster_rows (id integer not null primary key, client integer, "
                  "target integer, n integer)");
    for (int c = 1; c <= clients; ++c) {
      admin.Execute("insert into cluster_rows (id, client, n) values (" + std::to_string(c) + ", " +
                    std::to_string(c) + ", 0)");
    }
    for (int32_t id : kSharedRows) {
      admin.Execute("insert into cluster_rows (id, n) values (" + std::to_string(id) + ", 0)");
    }
  }

  // Every cluster of these tests speaks TLS between clients and app
  // servers, through HAProxy, as scripts/cluster starts it.
  ClusterOptions Options() {
    if (!authority_) {
      std::filesystem::create_directories(dir_ / "tls");
      authority_ = std::make_unique<TestAuthority>(dir_ / "tls", "Orvala cluster test CA");
      server_files_ = authority_->Issue("server", "IP:127.0.0.1,DNS:localhost");
    }
    ClusterOptions options;
    options.tls = ClusterTls{server_files_.cert, server_files_.key, authority_->cert()};
    return options;
  }

  TempDir dir_;
  std::filesystem::path database_;
  std::unique_ptr<TestAuthority> authority_;
  CertificateFiles server_files_;
};

// What one client of the mixed run knows of its applies.
struct Ledger {
  std::set<int32_t> applied, rejected, unknown;
  int conflicts = 0;         // lost a race: the row had changed since its fetch
  int concurrent = 0;        // lost a race: the row was being changed at the same time
  std::vector<std::string> row_failures;  // the first other failed row's message
  int not_fetched = 0;       // the fetch left the row out
  int lost_connections = 0;  // its app server went away
  int failed_calls = 0;      // failed through their frames (the database away)
  int applied_at_end = 0;    // applied after the database came back
  std::vector<std::string> unexpected;
};

enum class Phase { Running, ServerKilled, DatabaseAway, DatabaseBack };

TEST_F(ClusterTest, SixteenClientsSurviveAKilledAppServerAndARestartedDatabase) {
  constexpr int kClients = 16;
  Cluster cluster(dir_ / "cluster", database_, Options());
  {
    Admin admin(cluster);
    CreateCounters(admin, kClients);
  }

  std::atomic<bool> stop{false};
  std::atomic<Phase> phase{Phase::Running};
  std::vector<Ledger> ledgers(kClients);
  std::vector<std::thread> threads;
  for (int c = 1; c <= kClients; ++c) {
    threads.emplace_back([&, c] {
      Ledger& ledger = ledgers[c - 1];
      Client client(cluster, c, cluster.Through());
      try {
        client.SignIn();
        for (int32_t seq = 1; !stop; ++seq) {
          // One apply in four goes to a shared row, the rest to its own.
          const int32_t target = seq % 4 == 0 ? kSharedRows[(seq / 4) % 2] : c;
          const int32_t id = c * 1'000'000 + seq;
          std::string message;
          try {
            const int32_t errors = client.Count(target, id, message);
            if (errors == kNotFetched) {
              ++ledger.not_fetched;
            } else if (errors == 0) {
              ledger.applied.insert(id);
              if (phase == Phase::DatabaseBack) ++ledger.applied_at_end;
            } else {
              ledger.rejected.insert(id);
              // A race lost on a shared row; else the database was away.
              if (message == kChangedByAnother) {
                ++ledger.conflicts;
              } else if (message.find("update conflicts with concurrent update") != std::string::npos) {
                ++ledger.concurrent;
              } else {
                if (ledger.row_failures.empty()) ledger.row_failures.push_back(message);
                ++ledger.failed_calls;
              }
            }
          } catch (const Error& e) {
            // The apply may or may not have been committed.
            ledger.unknown.insert(id);
            if (e.status() == RPC_E_DISCONNECTED) {
              ++ledger.lost_connections;
              client.SignIn();
            } else if (e.status() == E_UNEXPECTED && *e.message()) {
              ++ledger.failed_calls;
              std::this_thread::sleep_for(100ms);
            } else {
              ledger.unexpected.push_back("in phase " + std::to_string(static_cast<int>(phase.load())) +
                                          ", status " + std::to_string(e.status()) + ": " + e.message());
            }
          }
        }
      } catch (const Error& e) {
        ledger.unexpected.push_back(e.message());
      }
    });
  }

  std::this_thread::sleep_for(5s);
  phase = Phase::ServerKilled;
  cluster.server(1).Kill();
  EXPECT_TRUE(cluster.WaitForServersUp(1, 10s));
  std::this_thread::sleep_for(5s);
  phase = Phase::DatabaseAway;
  cluster.firebird().Stop();
  std::this_thread::sleep_for(3s);
  cluster.firebird().Start();
  phase = Phase::DatabaseBack;
  std::this_thread::sleep_for(8s);
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_TRUE(cluster.server(0).alive());

  Ledger all;
  for (int c = 1; c <= kClients; ++c) {
    const Ledger& ledger = ledgers[c - 1];
    for (const auto& what : ledger.unexpected) ADD_FAILURE() << "client " << c << ": " << what;
    EXPECT_GT(ledger.applied_at_end, 0) << "client " << c << " did not work again after the restart";
    all.applied.insert(ledger.applied.begin(), ledger.applied.end());
    all.rejected.insert(ledger.rejected.begin(), ledger.rejected.end());
    all.unknown.insert(ledger.unknown.begin(), ledger.unknown.end());
    all.conflicts += ledger.conflicts;
    all.concurrent += ledger.concurrent;
    all.not_fetched += ledger.not_fetched;
    all.row_failures.insert(all.row_failures.end(), ledger.row_failures.begin(), ledger.row_failures.end());
    all.lost_connections += ledger.lost_connections;
    all.failed_calls += ledger.failed_calls;
  }
  // The killed server's clients lost their connection, and the database's
  // absence failed calls; the conflicts are the shared rows' lost races.
  EXPECT_GT(all.lost_connections, 0);
  EXPECT_GT(all.failed_calls, 0);
  RecordProperty("applied", static_cast<int>(all.applied.size()));
  std::printf("applied %zu, rejected %zu (lost races: %d changed since the fetch, %d changed at the "
              "same time), unknown %zu, lost connections %d, calls failed while the database was away %d, "
              "rows left out of a fetch %d\n",
              all.applied.size(), all.rejected.size(), all.conflicts, all.concurrent, all.unknown.size(),
              all.lost_connections, all.failed_calls, all.not_fetched);
  for (size_t i = 0; i < all.row_failures.size() && i < 3; ++i) {
    std::printf("  a row failed with: %s\n", all.row_failures[i].c_str());
  }

  // Every counter holds exactly the number of log rows that name it: no
  // delta was half applied, none lost its modify, none counted twice.
  Admin admin(cluster);
  std::map<int64_t, int64_t> counters, logged;
  for (const auto& row : admin.Rows("select id, target, n from cluster_rows")) {
    if (IsNull(row[1])) {
      counters[AsInt(row[0])] = AsInt(row[2]);
    } else {
      ++logged[AsInt(row[1])];
      const auto id = static_cast<int32_t>(AsInt(row[0]));
      EXPECT_FALSE(all.rejected.count(id)) << "rejected apply " << id << " is in the database";
      EXPECT_TRUE(all.applied.count(id) || all.unknown.count(id)) << "log row " << id << " was never sent";
      all.applied.erase(id);
    }
  }
  EXPECT_TRUE(all.applied.empty()) << all.applied.size() << " applied changes are missing, the first "
                                   << (all.applied.empty() ? 0 : *all.applied.begin());
  ASSERT_EQ(counters.size(), kClients + std::size(kSharedRows));
  for (const auto& [id, n] : counters) EXPECT_EQ(n, logged[id]) << "counter row " << id;
}

// Two clients on different app servers change the same row, each from the
// rows it fetched: the first apply wins, the second finds the row changed.
TEST_F(ClusterTest, TheSameRowChangedOnTwoAppServersOneWins) {
  Cluster cluster(dir_ / "cluster", database_, Options());
  {
    Admin admin(cluster);
    CreateCounters(admin, 2);
  }
  Client first(cluster, 1, cluster.Direct(0)), second(cluster, 2, cluster.Direct(1));
  first.SignIn();
  second.SignIn();
  const auto change = [](Client& client, const std::string& text) {
    client::ClientDataset rows;
    client::Fetch(client.proxy(), u"SelectArticoli", rows);
    for (rows.First(); !rows.eof() && rows.GetText("CODICE") != u"ART001"; rows.Next()) {
    }
    rows.SetText("DESCRIZIONE", U16(text));
    return std::make_pair(std::move(rows), text);
  };
  auto [first_rows, first_text] = change(first, "CEMENTO DAL PRIMO");
  auto [second_rows, second_text] = change(second, "CEMENTO DAL SECONDO");
  const auto won = client::Apply(first.proxy(), u"SelectArticoli", first_rows, 0);
  const auto lost = client::Apply(second.proxy(), u"SelectArticoli", second_rows, 0);
  EXPECT_EQ(won.error_count, 0);
  ASSERT_EQ(lost.error_count, 1);
  ASSERT_EQ(lost.errors.size(), 1u);
  EXPECT_EQ(lost.errors[0].error.message, kChangedByAnother);

  // The same race on a counter row through each one's run-time provider.
  std::string message;
  EXPECT_EQ(first.Count(1001, 1'000'001, message), 0) << message;
  EXPECT_EQ(second.Count(1001, 2'000'001, message), 0) << message;  // fetched after the first
  Admin admin(cluster);
  const auto stored = admin.Rows("select descrizione from articoli where codice = 'ART001'");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(std::get<std::string>(stored[0][0]), first_text);
  EXPECT_EQ(AsInt(admin.Rows("select n from cluster_rows where id = 1001")[0][0]), 2);
}

// The catalogue's queries are per app server, so a setQuery through one is
// not seen through another; the rows a client fetched stay with the
// client, so a change made on them before its app server died applies
// through the next app server it reaches.
TEST_F(ClusterTest, QueriesStayWithTheirAppServerAndFetchedRowsWithTheClient) {
  Cluster cluster(dir_ / "cluster", database_, Options());
  Client first(cluster, 1, cluster.Direct(0)), second(cluster, 2, cluster.Direct(1));
  first.SignIn();
  second.SignIn();
  int32_t result = -1;
  ASSERT_EQ(first.proxy().setQuery(u"select codice from articoli where codice = 'ART001'", 0, result), S_OK);
  ASSERT_EQ(result, 0);
  int32_t recs = 0;
  Variant params, owner, data;
  EXPECT_EQ(first.proxy().AS_GetRecords(u"Select", -1, recs, 0, u"", params, owner, data), S_OK);
  EXPECT_EQ(recs, 1);
  // The second app server's general-purpose query has no SQL yet.
  EXPECT_EQ(second.proxy().AS_GetRecords(u"Select", -1, recs, 0, u"", params, owner, data), E_UNEXPECTED);
  ASSERT_TRUE(second.proxy().last_error());
  EXPECT_EQ(second.proxy().last_error()->description, "Missing query, table name or procedure name");

  client::ClientDataset rows;
  client::Fetch(second.proxy(), u"SelectArticoli", rows);
  for (rows.First(); !rows.eof() && rows.GetText("CODICE") != u"ART002"; rows.Next()) {
  }
  rows.SetText("DESCRIZIONE", u"CHANGED BEFORE THE CRASH");
  cluster.server(1).Kill();
  int32_t ignored = -1;
  EXPECT_EQ(second.proxy().AddProvider(u"X", u"select 1 from rdb$database", ignored), RPC_E_DISCONNECTED);
  ASSERT_TRUE(cluster.WaitForServersUp(1, 10s));
  Client again(cluster, 2, cluster.Through());
  again.SignIn();
  const auto outcome = client::Apply(again.proxy(), u"SelectArticoli", rows, 0);
  EXPECT_EQ(outcome.error_count, 0);
  Admin admin(cluster);
  EXPECT_EQ(std::get<std::string>(admin.Rows("select descrizione from articoli where codice = 'ART002'")[0][0]),
            "CHANGED BEFORE THE CRASH");
}

// scripts/backup, its status and its output.
struct BackupRun {
  int status = -1;
  std::string output;
  std::filesystem::path file;  // the backup's name, its last line
};

BackupRun RunBackup(const std::string& location, const std::filesystem::path& dir) {
  const auto log = dir / "backup.log";
  ChildProcess backup({(SourceDir() / "scripts" / "backup").string(), "--dir", (dir / "backups").string(), location},
                      {std::string("ISC_PASSWORD=") + driver::kAdministratorPassword}, log);
  BackupRun run;
  run.status = backup.Wait();
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);) {
    run.output += line + "\n";
    run.file = line;
  }
  return run;
}

// The count that the backup wrote for `table`, from its table of counts.
int64_t BackedUp(const BackupRun& run, const std::string& table) {
  std::istringstream lines(run.output);
  for (std::string name, line; std::getline(lines, line);) {
    std::istringstream cells(line);
    int64_t written = -1;
    if (cells >> name >> written && name == table) return written;
  }
  return -1;
}

// A backup taken while clients write holds one moment of the database: it
// restores with the row counts it wrote, and its count of the clients'
// rows lies between the counts before and after.
TEST_F(ClusterTest, BackupWhileClientsWrite) {
  constexpr int kWriters = 4;
  Cluster cluster(dir_ / "cluster", database_, Options());
  Admin admin(cluster);
  CreateCounters(admin, kWriters);
  std::atomic<bool> stop{false};
  std::atomic<int> applied{0}, failed{0};
  std::vector<std::thread> writers;
  for (int c = 1; c <= kWriters; ++c) {
    writers.emplace_back([&, c] {
      try {
        Client client(cluster, c, cluster.Through());
        client.SignIn();
        std::string message;
        for (int32_t seq = 1; !stop; ++seq) {
          if (client.Count(c, c * 1'000'000 + seq, message) == 0) ++applied;
          else ++failed;
        }
      } catch (const Error&) {
        ++failed;
      }
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (applied < 20 && failed == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  const int applied_before = applied;
  const BackupRun run = RunBackup(cluster.location(), dir_.path());
  const int applied_after = applied;
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(failed, 0);
  EXPECT_GT(applied_after, applied_before) << "the clients did not write during the backup";

  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("tables restored with the same row counts"), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::is_regular_file(run.file)) << run.file;
  const int64_t backed_up = BackedUp(run, "CLUSTER_ROWS");
  EXPECT_GE(backed_up, static_cast<int64_t>(std::size(kSharedRows)) + kWriters + applied_before) << run.output;
  EXPECT_LE(backed_up, AsInt(admin.Rows("select count(*) from cluster_rows")[0][0]));
}

// The embedded file of a one-office installation backs up the same way.
TEST_F(ClusterTest, BackupOfAnEmbeddedFile) {
  const BackupRun run = RunBackup(database_.string(), dir_.path());
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(BackedUp(run, "ARTICOLI"), 30) << run.output;
  EXPECT_EQ(run.file.filename().string().rfind("orvala-", 0), 0u) << run.file;
}

}  // namespace
}  // namespace orvala::testing
