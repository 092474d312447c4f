// Timestamps at the database's own precision, and their automation-date form.
//
// Firebird keeps a timestamp as a day number (days since 1858-11-17) and a
// time of day in units of 100 microseconds. Values read from the database
// travel in this form so that the update resolver can compare them exactly;
// automation dates (doubles) are only the interface's view of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvala {

inline constexpr uint32_t kTimeUnitsPerSecond = 10000;
inline constexpr uint32_t kTimeUnitsPerDay = 86400u * kTimeUnitsPerSecond;

struct Timestamp {
  int32_t day = 0;    // days since 1858-11-17
  uint32_t time = 0;  // 100-microsecond units since midnight, < kTimeUnitsPerDay
  friend bool operator==(Timestamp, Timestamp) = default;
  friend auto operator<=>(Timestamp, Timestamp) = default;
};

struct CivilTime {
  int year = 1858, month = 11, day = 17;
  int hour = 0, minute = 0, second = 0;
  uint32_t fraction = 0;  // 100-microsecond units within the second
};

CivilTime ToCivil(Timestamp ts);
// Fails with an Error when a field is out of range.
Timestamp FromCivil(const CivilTime& civil);

// Round-trips every Timestamp from year 1 to 9999 exactly.
double ToAutomationDate(Timestamp ts);
// Fails with "Invalid argument to date encode" for a date outside years 1
// to 9999, NaN or infinity: such a double has no timestamp, and converting
// it anyway would store some other, valid-looking date.
Timestamp FromAutomationDate(double date);

// "2024-01-31T10:00:00", with ".1234" appended when the fraction is not 0.
std::string FormatIso(Timestamp ts);
// Accepts "YYYY-MM-DD", "YYYY-MM-DDTHH:MM[:SS[.ffff]]" (a blank may stand for T).
std::optional<Timestamp> ParseIso(std::string_view text);

}  // namespace orvala
