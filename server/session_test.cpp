#include "server/session_counter.h"

#include <gtest/gtest.h>

#include "server/server_fixture.h"

namespace orvala::server {
namespace {

// At 10:20:30.456 the generator is seeded with 37230456; one step gives the
// state 1928484185, whose random part below 1000 is 449.
constexpr int32_t kRandomAtFixedTime = 449;

TEST(SessionCounterTest, NumbersAtAFixedTimeOfDay) {
  SessionCounter sessions([] { return testing::FixedTime(); });
  EXPECT_EQ(sessions.NewSessionNumber(), kRandomAtFixedTime + 1);
  // Same millisecond, same random part; the count has grown by one.
  EXPECT_EQ(sessions.NewSessionNumber(), kRandomAtFixedTime + 2);
  for (int i = 0; i < 5; ++i) sessions.ReleaseSession();
  EXPECT_EQ(sessions.count(), -3);
  EXPECT_EQ(sessions.NewSessionNumber(), kRandomAtFixedTime - 2);
  EXPECT_EQ(sessions.DrawBelow(20000), 8980);
}

TEST(SessionCounterTest, SeedIsTheTimeOfDayInMilliseconds) {
  // Midnight seeds 0: the first state is 1, so the draw is (1000 * 1) >> 32 = 0.
  SessionCounter sessions([] {
    return std::chrono::sys_days{std::chrono::year{2030} / 1 / 1} + std::chrono::hours{0};
  });
  EXPECT_EQ(sessions.NewSessionNumber(), 1);
}

}  // namespace
}  // namespace orvala::server
