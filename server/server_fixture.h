// A server process over a fresh database, for the remote object's tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/connection.h"
#include "driver/query.h"
#include "registry/database_location.h"
#include "server/orvala.h"
#include "server/server_process.h"
#include "tests/database_fixture.h"

namespace orvala::server::testing {

// 2024-05-06 10:20:30.456 UTC: the session generator's seed is then
// ((10 * 60 + 20) * 60 + 30) * 1000 + 456.
std::chrono::system_clock::time_point FixedTime();

class ServerTest : public ::testing::Test {
 protected:
  ServerTest();

  // Calls a method by name with its in and in-out arguments in interface
  // order; out arguments may be left out and are returned in `args`.
  CallOutcome CallMethod(TOrvala& object, const std::string& name, std::vector<Variant> args = {});
  // The same, returning the out arguments too.
  CallOutcome CallMethod(TOrvala& object, const std::string& name, std::vector<Variant> args,
                         std::vector<Variant>& all_args);

  std::unique_ptr<TOrvala> NewObject() { return std::make_unique<TOrvala>(process_); }

  // Runs SQL on a connection of the test's own, outside the server.
  void Sql(const std::string& sql);
  // The single integer a SELECT answers.
  int64_t Scalar(const std::string& sql);

  orvala::testing::TempDir dir_;
  std::string database_;
  registry::Registry registry_;
  ServerProcess process_;
  driver::Connection admin_;
};

}  // namespace orvala::server::testing
