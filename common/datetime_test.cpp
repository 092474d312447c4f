#include "common/datetime.h"

#include <gtest/gtest.h>

#include <cmath>

#include "common/error.h"

namespace orvala {
namespace {

TEST(DateTimeTest, AutomationDatesOfKnownDays) {
  struct Case {
    double date;
    const char* iso;
  };
  const Case cases[] = {
      {0.0, "1899-12-30T00:00:00"},
      {1.0, "1899-12-31T00:00:00"},
      {2.25, "1900-01-01T06:00:00"},
      {-1.25, "1899-12-29T06:00:00"},  // the time of day stays positive
      {45322.5, "2024-01-31T12:00:00"},
      {36526.0, "2000-01-01T00:00:00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatIso(FromAutomationDate(c.date)), c.iso) << c.date;
    EXPECT_DOUBLE_EQ(ToAutomationDate(*ParseIso(c.iso)), c.date) << c.iso;
  }
}

TEST(DateTimeTest, EveryTimestampSurvivesTheAutomationForm) {
  // The finest unit at the far ends of the calendar and around the epoch.
  const CivilTime samples[] = {
      {1, 1, 1, 0, 0, 0, 1},        {9999, 12, 31, 23, 59, 59, 9999},
      {1899, 12, 29, 23, 59, 59, 9999}, {1899, 12, 30, 0, 0, 0, 1},
      {2024, 2, 29, 13, 14, 15, 1234},  {1858, 11, 17, 0, 0, 0, 0},
  };
  for (const CivilTime& c : samples) {
    const Timestamp ts = FromCivil(c);
    EXPECT_EQ(FromAutomationDate(ToAutomationDate(ts)), ts) << FormatIso(ts);
  }
  for (uint32_t time = 0; time < kTimeUnitsPerDay; time += 9973) {
    const Timestamp ts{60000, time};
    ASSERT_EQ(FromAutomationDate(ToAutomationDate(ts)), ts) << time;
  }
}

TEST(DateTimeTest, DatesWithoutATimestampAreRefused) {
  const double first = ToAutomationDate(FromCivil({1, 1, 1}));
  const double last = ToAutomationDate(FromCivil({9999, 12, 31, 23, 59, 59, 9999}));
  EXPECT_EQ(FormatIso(FromAutomationDate(first)), "0001-01-01T00:00:00");
  EXPECT_EQ(FormatIso(FromAutomationDate(last)), "9999-12-31T23:59:59.9999");
  const double refused[] = {std::nan(""), INFINITY, -INFINITY, 1e300, -1e300, 4.3e9,
                            first - 1, last + 1};
  for (double date : refused) {
    try {
      FromAutomationDate(date);
      ADD_FAILURE() << date;
    } catch (const Error& e) {
      EXPECT_STREQ(e.message(), "Invalid argument to date encode") << date;
    }
  }
}

TEST(DateTimeTest, FirebirdEpochIsDayZero) {
  EXPECT_EQ(FromCivil({1858, 11, 17}).day, 0);
  EXPECT_EQ(FromCivil({2000, 1, 1}).day, 51544);  // the modified Julian day
}

TEST(DateTimeTest, ParsingAcceptsAndRejects) {
  EXPECT_EQ(FormatIso(*ParseIso("2024-01-31")), "2024-01-31T00:00:00");
  EXPECT_EQ(FormatIso(*ParseIso("2024-01-31 10:05")), "2024-01-31T10:05:00");
  EXPECT_EQ(FormatIso(*ParseIso("2024-01-31T10:05:06.5")), "2024-01-31T10:05:06.5000");
  for (const char* bad : {"", "2024", "2024-02-30", "2024-01-31T25:00", "2024-01-31T10:00:00.12345",
                          "2024-01-31X10:00", "24-01-31", "2024-01-31T10:00:"}) {
    EXPECT_FALSE(ParseIso(bad).has_value()) << bad;
  }
  EXPECT_THROW(FromCivil({2023, 2, 29}), Error);
}

}  // namespace
}  // namespace orvala
