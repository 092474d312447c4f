// The database behind the server goes away and comes back. The database
// is served by a real Firebird server on loopback, on a port of the test's
// own with a configuration and security database of its own, so that it
// can be stopped and started again under the running orvala-server.
#include <gtest/gtest.h>

#include "client/orvala_proxy.h"
#include "tests/database_fixture.h"
#include "tests/fault_server.h"
#include "tests/firebird_server.h"

namespace orvala::testing {
namespace {

class DatabaseGoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FirebirdServerInstalled()) {
      GTEST_SKIP() << "firebird3.0-server is not installed (scripts/install-deps installs it)";
    }
  }
  TempDir dir_;
};

// While Firebird is away, calls fail by their frame rule: provider
// operations with a failure status and the database's message, methods
// that absorb errors with result 1. The same remote object works again
// once Firebird is back.
TEST_F(DatabaseGoneTest, CallsFailByTheirRuleAndWorkAgainAfter) {
  FirebirdServer firebird(dir_ / "firebird");
  firebird.Start();
  const auto database = FreshDatabase(dir_);
  ServerProgram server(dir_.path(), firebird.Location(database));
  auto object = server.Connect();
  client::OrvalaProxy proxy(*object);

  auto fetch = [&proxy](int32_t& recs) {
    Variant params, owner, data;
    return proxy.AS_GetRecords(u"SelectEsercizi", -1, recs, 0, u"", params, owner, data);
  };
  auto log_in = [&proxy] {
    EXPECT_EQ(proxy.OpenDB(), S_OK);
    Variant id_utenti;
    int32_t result = -1;
    EXPECT_EQ(proxy.Login(u"DEMO", u"demo", 2024, u"00001", id_utenti, result), S_OK);
    return result;
  };
  ASSERT_EQ(log_in(), 0);
  int32_t recs = 0;
  ASSERT_EQ(fetch(recs), S_OK) << (proxy.last_error() ? proxy.last_error()->description : "");
  ASSERT_GT(recs, 0);

  firebird.Stop();
  EXPECT_EQ(fetch(recs), E_UNEXPECTED);
  ASSERT_TRUE(proxy.last_error());
  EXPECT_FALSE(proxy.last_error()->description.empty());
  int32_t result = -1;
  EXPECT_EQ(proxy.ExecSQL(u"update ditte set ragionesociale = ragionesociale where 1 = 0", result), S_OK);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(server.alive());

  firebird.Start();
  int32_t again = 0;
  EXPECT_EQ(fetch(again), S_OK) << (proxy.last_error() ? proxy.last_error()->description : "");
  EXPECT_EQ(again, recs);
  EXPECT_EQ(proxy.ExecSQL(u"update ditte set ragionesociale = ragionesociale where 1 = 0", result), S_OK);
  EXPECT_EQ(result, 0);
  // A client that arrives now is served too.
  auto late = server.Connect();
  client::OrvalaProxy late_proxy(*late);
  Variant params, owner, data;
  EXPECT_EQ(late_proxy.AS_GetRecords(u"SelectEsercizi", -1, again, 0, u"", params, owner, data), S_OK);
}

}  // namespace
}  // namespace orvala::testing
