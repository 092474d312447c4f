#include "server/server_fixture.h"
#include "driver/administrator.h"

namespace orvala::server::testing {

std::chrono::system_clock::time_point FixedTime() {
  using namespace std::chrono;
  return sys_days{year{2024} / 5 / 6} + hours{10} + minutes{20} + seconds{30} + milliseconds{456};
}

ServerTest::ServerTest()
    : database_(orvala::testing::FreshDatabase(dir_).string()),
      registry_(dir_ / "registry"),
      process_(registry_, [] { return FixedTime(); }) {
  admin_.SetParam("Database", database_);
  driver::UseAdministrator(admin_);
}

CallOutcome ServerTest::CallMethod(TOrvala& object, const std::string& name,
                                   std::vector<Variant> args) {
  std::vector<Variant> all;
  return CallMethod(object, name, std::move(args), all);
}

CallOutcome ServerTest::CallMethod(TOrvala& object, const std::string& name,
                                   std::vector<Variant> args, std::vector<Variant>& all_args) {
  const MethodDef* method = MethodByName(name);
  EXPECT_NE(method, nullptr) << name;
  if (!method) return {};
  all_args.clear();
  size_t next = 0;
  for (const ArgDef& def : method->args) {
    if (def.direction == ArgDirection::Out) {
      all_args.emplace_back();
    } else {
      all_args.push_back(next < args.size() ? args[next] : Variant());
      ++next;
    }
  }
  return object.Invoke(*method, all_args);
}

void ServerTest::Sql(const std::string& sql) { admin_.ExecuteImmediate(sql); }

int64_t ServerTest::Scalar(const std::string& sql) {
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

}  // namespace orvala::server::testing
