#include "common/guid.h"

#include <gtest/gtest.h>

namespace orvala {
namespace {

TEST(GuidTest, TextFormRoundTrips) {
  const char* text = "{85BF87D6-FB51-4EFC-AA81-C5372C09FC14}";
  const auto guid = Guid::Parse(text);
  ASSERT_TRUE(guid);
  EXPECT_EQ(guid->ToString(), text);
  EXPECT_EQ(guid->data1, 0x85BF87D6u);
  EXPECT_EQ(Guid::Parse("85bf87d6-fb51-4efc-aa81-c5372c09fc14"), guid);
}

TEST(GuidTest, RejectsMalformedText) {
  for (const char* bad : {"", "{}", "{85BF87D6-FB51-4EFC-AA81-C5372C09FC1}",
                          "{85BF87D6+FB51-4EFC-AA81-C5372C09FC14}",
                          "{85BF87D6-FB51-4EFC-AA81-C5372C09FC1G}",
                          "85BF87D6-FB51-4EFC-AA81-C5372C09FC14}"}) {
    EXPECT_FALSE(Guid::Parse(bad)) << bad;
  }
}

}  // namespace
}  // namespace orvala
