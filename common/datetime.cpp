#include "common/datetime.h"

#include <cmath>
#include <cstdio>

#include "common/error.h"

namespace orvala {
namespace {

// Day numbers of the proleptic Gregorian calendar, counted from 1970-01-01
// (H. Hinnant's civil-from-days algorithm).
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr int64_t kFirebirdEpoch = DaysFromCivil(1858, 11, 17);
constexpr int64_t kAutomationEpoch = DaysFromCivil(1899, 12, 30);
constexpr int32_t kAutomationEpochDay = static_cast<int32_t>(kAutomationEpoch - kFirebirdEpoch);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

}  // namespace

CivilTime ToCivil(Timestamp ts) {
  CivilTime c;
  CivilFromDays(kFirebirdEpoch + ts.day, c.year, c.month, c.day);
  uint32_t t = ts.time;
  c.fraction = t % kTimeUnitsPerSecond;
  t /= kTimeUnitsPerSecond;
  c.second = static_cast<int>(t % 60);
  t /= 60;
  c.minute = static_cast<int>(t % 60);
  c.hour = static_cast<int>(t / 60);
  return c;
}

Timestamp FromCivil(const CivilTime& c) {
  if (c.year < 1 || c.year > 9999 || c.month < 1 || c.month > 12 || c.day < 1 ||
      c.day > DaysInMonth(c.year, c.month) || c.hour < 0 || c.hour > 23 || c.minute < 0 ||
      c.minute > 59 || c.second < 0 || c.second > 59 || c.fraction >= kTimeUnitsPerSecond) {
    throw Error("Invalid date or time");
  }
  Timestamp ts;
  ts.day = static_cast<int32_t>(DaysFromCivil(c.year, static_cast<unsigned>(c.month),
                                              static_cast<unsigned>(c.day)) -
                                kFirebirdEpoch);
  ts.time = ((static_cast<uint32_t>(c.hour) * 60 + static_cast<uint32_t>(c.minute)) * 60 +
             static_cast<uint32_t>(c.second)) * kTimeUnitsPerSecond + c.fraction;
  return ts;
}

// Automation dates before the epoch keep a positive time of day: -1.25 is
// 1899-12-29 06:00, not 1899-12-28 18:00.
double ToAutomationDate(Timestamp ts) {
  const int32_t days = ts.day - kAutomationEpochDay;
  const double fraction = static_cast<double>(ts.time) / kTimeUnitsPerDay;
  return days >= 0 ? days + fraction : days - fraction;
}

Timestamp FromAutomationDate(double date) {
  // Negative dates keep a positive time of day, so the whole first day of
  // year 1 lies above its own date minus one.
  static const double first = ToAutomationDate(FromCivil({1, 1, 1}));
  static const double after_last = ToAutomationDate(FromCivil({9999, 12, 31})) + 1;
  if (!(std::isfinite(date) && date > first - 1 && date < after_last)) {
    throw Error("Invalid argument to date encode");
  }
  const double whole = std::trunc(date);
  int64_t days = static_cast<int64_t>(whole);
  int64_t units = std::llround(std::fabs(date - whole) * kTimeUnitsPerDay);
  if (units >= kTimeUnitsPerDay) {  // rounding reached the next midnight
    units -= kTimeUnitsPerDay;
    days += date < 0 ? -1 : 1;
  }
  return Timestamp{static_cast<int32_t>(days + kAutomationEpochDay),
                   static_cast<uint32_t>(units)};
}

std::string FormatIso(Timestamp ts) {
  const CivilTime c = ToCivil(ts);
  // Digit by digit in the usual case: an XML packet writes one per value.
  auto fits = [](int v, int most) { return v >= 0 && v <= most; };
  if (fits(c.year, 9999) && fits(c.month, 99) && fits(c.day, 99) && fits(c.hour, 99) &&
      fits(c.minute, 99) && fits(c.second, 99) && c.fraction <= 9999) {
    char text[24];
    size_t n = 0;
    auto put = [&](unsigned v, int width) {
      for (size_t i = static_cast<size_t>(width); i-- > 0; v /= 10) {
        text[n + i] = static_cast<char>('0' + v % 10);
      }
      n += static_cast<size_t>(width);
    };
    auto mark = [&](char m) { text[n++] = m; };
    put(static_cast<unsigned>(c.year), 4), mark('-'), put(static_cast<unsigned>(c.month), 2), mark('-');
    put(static_cast<unsigned>(c.day), 2), mark('T'), put(static_cast<unsigned>(c.hour), 2), mark(':');
    put(static_cast<unsigned>(c.minute), 2), mark(':'), put(static_cast<unsigned>(c.second), 2);
    if (c.fraction != 0) mark('.'), put(c.fraction, 4);
    return std::string(text, n);
  }
  char buffer[40];
  int n = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", c.year, c.month,
                        c.day, c.hour, c.minute, c.second);
  if (c.fraction != 0) {
    std::snprintf(buffer + n, sizeof buffer - static_cast<size_t>(n), ".%04u", c.fraction);
  }
  return buffer;
}

std::optional<Timestamp> ParseIso(std::string_view text) {
  CivilTime c;
  auto digits = [&](size_t pos, size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    out = value;
    return true;
  };
  if (!digits(0, 4, c.year) || text.size() < 10 || text[4] != '-' || !digits(5, 2, c.month) ||
      text[7] != '-' || !digits(8, 2, c.day)) {
    return std::nullopt;
  }
  size_t pos = 10;
  if (pos < text.size()) {
    if ((text[pos] != 'T' && text[pos] != ' ') || !digits(pos + 1, 2, c.hour) ||
        pos + 3 >= text.size() || text[pos + 3] != ':' || !digits(pos + 4, 2, c.minute)) {
      return std::nullopt;
    }
    pos += 6;
    if (pos < text.size()) {
      if (text[pos] != ':' || !digits(pos + 1, 2, c.second)) return std::nullopt;
      pos += 3;
      if (pos < text.size()) {
        if (text[pos] != '.') return std::nullopt;
        const size_t count = text.size() - pos - 1;
        if (count < 1 || count > 4) return std::nullopt;
        int fraction = 0;
        if (!digits(pos + 1, count, fraction)) return std::nullopt;
        for (size_t i = count; i < 4; ++i) fraction *= 10;
        c.fraction = static_cast<uint32_t>(fraction);
      }
    }
  }
  try {
    return FromCivil(c);
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace orvala
