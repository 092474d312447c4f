// A client that dies in the middle of its work, with the server a real
// process: the server rolls back what the client's call left open, keeps
// serving, and another client connected all along notices nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "client/orvala_proxy.h"
#include "driver/administrator.h"
#include "driver/connection.h"
#include "driver/query.h"
#include "tests/database_fixture.h"
#include "tests/fault_server.h"
#include "transport/socket.h"
#include "transport/wire.h"

namespace orvala::testing {
namespace {

using namespace std::chrono_literals;
using client::OrvalaProxy;

// Many rows from a tiny database: enough to fill a socket's buffers.
constexpr char kBigSelect[] =
    "select a.rdb$type_name, b.rdb$type_name, a.rdb$description from rdb$types a "
    "cross join rdb$types b";

class ClientKilledTest : public ::testing::Test {
 protected:
  ClientKilledTest()
      : database_(FreshDatabase(dir_).string()) {
    admin_.SetParam("Database", database_);
    driver::UseAdministrator(admin_);
    admin_.ExecuteImmediate("create table t (id integer not null primary key, v varchar(20))");
    for (int id = 1; id <= 3; ++id) {
      admin_.ExecuteImmediate("insert into t values (" + std::to_string(id) + ", 'old')");
    }
    server_ = std::make_unique<ServerProgram>(dir_.path(), database_);
    // The bystander signs in first, so its connection is the one that
    // also serves the shared queries and the victim's is its own.
    bystander_ = server_->Connect();
    proxy_ = std::make_unique<OrvalaProxy>(*bystander_);
    EXPECT_EQ(proxy_->OpenDB(), S_OK);
    Variant id_utenti;
    int32_t result = -1;
    EXPECT_EQ(proxy_->Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, result), S_OK);
    EXPECT_EQ(result, 0);
  }

  int64_t Scalar(const std::string& sql) {
    driver::Query q("scalar");
    q.SetConnection(&admin_);
    q.SetSql({sql});
    q.Open();
    if (!q.Next()) return -1;
    const Value& v = q.row()[0];
    if (const auto* i = std::get_if<int32_t>(&v)) return *i;
    if (const auto* l = std::get_if<int64_t>(&v)) return *l;
    return -1;
  }
  // A fresh look at the database: the monitoring tables are a snapshot
  // per transaction, so every question gets a new connection.
  int64_t Fresh(const std::string& sql) {
    admin_.Close();
    return Scalar(sql);
  }
  std::string ServerAttachments() {
    return "select count(*) from mon$attachments where mon$server_pid = " +
           std::to_string(server_->pid()) + " and mon$system_flag = 0";
  }
  // Waits (bounded) until `sql` answers `expected`; the last answer.
  int64_t AwaitScalar(const std::string& sql, int64_t expected) {
    int64_t got = -1;
    for (int i = 0; i < 600; ++i) {
      got = Fresh(sql);
      if (got == expected) break;
      std::this_thread::sleep_for(100ms);
    }
    return got;
  }

  std::unique_ptr<ChildProcess> StartCli() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{CliProgramPath(), "--endpoint", "unix:" + server_->socket().string()},
        server_->Environment());
  }
  // Sends one line to orvala-cli and waits for its answer.
  std::string Call(ChildProcess& cli, const std::string& line) {
    cli.Write(line + "\n");
    std::string answer;
    EXPECT_TRUE(cli.ReadLine(answer)) << line;
    return answer;
  }

  // The bystander still works: a fetch of the catalogue and a write.
  void ExpectBystanderServed(int id) {
    int32_t recs = 0;
    Variant params, owner, data;
    EXPECT_EQ(proxy_->AS_GetRecords(u"SelectEsercizi", -1, recs, 0, u"", params, owner, data), S_OK);
    EXPECT_GT(recs, 0);
    int32_t result = -1;
    const std::string sql = "insert into t values (" + std::to_string(id) + ", 'bystander')";
    EXPECT_EQ(proxy_->ExecSQL(std::u16string(sql.begin(), sql.end()), result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Fresh("select count(*) from t where id = " + std::to_string(id)), 1);
  }

  TempDir dir_;
  std::string database_;
  driver::Connection admin_;
  std::unique_ptr<ServerProgram> server_;
  std::unique_ptr<transport::RemoteObject> bystander_;
  std::unique_ptr<OrvalaProxy> proxy_;
};

TEST_F(ClientKilledTest, WithAFetchOpenItsConnectionAndTransactionGo) {
  const int64_t before = Fresh(ServerAttachments());
  auto cli = StartCli();
  Call(*cli, "OpenDB");
  Call(*cli, std::string("AddProvider BIG \"") + kBigSelect + "\"");
  const std::string first = Call(*cli, "AS_GetRecords BIG 10");
  ASSERT_NE(first.find("\"status\":\"0x00000000\""), std::string::npos) << first;
  EXPECT_GT(Fresh(ServerAttachments()), before);

  cli->Kill(SIGKILL);
  cli->Wait();
  // The object is destroyed: its open cursor, transaction and connection go.
  EXPECT_EQ(AwaitScalar(ServerAttachments(), before), before);
  EXPECT_TRUE(server_->alive());
  ExpectBystanderServed(100);
}

TEST_F(ClientKilledTest, WhileTheServerWritesALargeReply) {
  int32_t result = -1;
  std::u16string big(kBigSelect, kBigSelect + sizeof kBigSelect - 1);
  ASSERT_EQ(proxy_->setQuery(big, 0, result), S_OK);
  ASSERT_EQ(result, 0);

  // A client that asks for every row and never reads: the reply fills the
  // socket and the server's writer waits until the client vanishes.
  using namespace transport;
  transport::FrameSocket socket(Connect(ParseEndpoint("unix:" + server_->socket().string()), 10s));
  std::vector<uint8_t> body;
  ASSERT_TRUE(socket.WriteAll(wire::EncodeFrame(wire::Hello{})));
  ASSERT_EQ(socket.ReadFrame(body, wire::kDefaultMaxFrameSize), FrameSocket::ReadResult::kFrame);
  ASSERT_TRUE(socket.WriteAll(wire::EncodeFrame(wire::CreateObject{"{BE3B9670-C4E5-49A5-BDB2-53BB7793651F}"})));
  ASSERT_EQ(socket.ReadFrame(body, wire::kDefaultMaxFrameSize), FrameSocket::ReadResult::kFrame);
  wire::CallRequest fetch;
  fetch.id = 8;  // AS_GetRecords
  fetch.args = {Variant::BStr(u"Select"), Variant::I4(-1), Variant(), Variant::I4(0),
                Variant::BStr(u""), Variant(), Variant()};
  ASSERT_TRUE(socket.WriteAll(wire::EncodeFrame(fetch)));
  std::this_thread::sleep_for(2s);  // lets the reply start; the outcome does not depend on it
  socket.Shutdown();

  EXPECT_TRUE(server_->alive());
  ExpectBystanderServed(101);
}

struct ApplyCase {
  const char* name;
  bool holder_commits;  // the blocking writer commits (the apply then fails) or rolls back
};

class ClientKilledMidApplyTest : public ClientKilledTest,
                                 public ::testing::WithParamInterface<ApplyCase> {};

// The victim's apply writes row 2 and a new row 10, then waits for row 1,
// which the test holds locked. Killed there, the client leaves the apply
// to end as one: all of it when the lock is released, none of it when the
// holder's change makes the apply fail.
TEST_P(ClientKilledMidApplyTest, TheApplyEndsWhole) {
  driver::Connection holder;
  holder.SetParam("Database", database_);
  driver::UseAdministrator(holder);
  auto lock = std::make_unique<driver::Transaction>(holder);
  holder.ExecuteImmediate("update t set v = 'holder' where id = 1", lock.get());

  auto cli = StartCli();
  Call(*cli, "OpenDB");
  Call(*cli, "AddProvider T \"select * from t order by id\"");
  cli->Write(
      R"(AS_ApplyUpdates T {"modify":[{"old":{"ID":2,"V":"old"},"new":{"V":"apply"}},{"old":{"ID":1,"V":"old"},"new":{"V":"apply"}}],"insert":[{"ID":10,"V":"apply"}]} 0)"
      "\n");
  // The apply is waiting for the lock.
  const std::string waiting =
      "select count(*) from mon$statements where mon$state = 1 and mon$sql_text containing 'update' "
      "and mon$attachment_id <> current_connection";
  ASSERT_EQ(AwaitScalar(waiting, 1), 1);
  cli->Kill(SIGKILL);
  cli->Wait();

  if (GetParam().holder_commits) {
    lock->Commit();
  } else {
    lock->Rollback();
  }
  ASSERT_EQ(AwaitScalar(waiting, 0), 0);
  const int64_t applied = Fresh("select count(*) from t where v = 'apply'");
  if (GetParam().holder_commits) {
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(Fresh("select count(*) from t where id = 1 and v = 'holder'"), 1);
  } else {
    EXPECT_EQ(applied, 3);
  }
  EXPECT_TRUE(server_->alive());
  ExpectBystanderServed(102);
}

INSTANTIATE_TEST_SUITE_P(Fault, ClientKilledMidApplyTest,
                         ::testing::Values(ApplyCase{"HolderCommits", true},
                                           ApplyCase{"HolderRollsBack", false}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace orvala::testing
