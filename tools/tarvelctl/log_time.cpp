#include "tools/tarvelctl/log_time.h"

#include <cstdio>

namespace tarvel::ctl {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil), and back.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, CivilTime* c) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  c->day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c->month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c->year = static_cast<int>(yoe + era * 400 + (c->month <= 2 ? 1 : 0));
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `width` digits at `at`.
bool Digits(const std::string& s, std::size_t& at, std::size_t width, int* value) {
  if (s.size() - at < width) return false;
  int v = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const char c = s[at + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  at += width;
  *value = v;
  return true;
}

bool Take(const std::string& s, std::size_t& at, char c) {
  if (at >= s.size() || s[at] != c) return false;
  ++at;
  return true;
}

// "10m": a whole number of seconds, minutes, hours or days back from now.
bool ParseRelative(Clock& clock, const std::string& text, std::uint64_t* utc) {
  if (text.size() < 2 || text.size() > 10) return false;
  std::uint64_t seconds_per_unit = 0;
  switch (text.back()) {
    case 's':
      seconds_per_unit = 1;
      break;
    case 'm':
      seconds_per_unit = 60;
      break;
    case 'h':
      seconds_per_unit = 3600;
      break;
    case 'd':
      seconds_per_unit = kSecondsPerDay;
      break;
    default:
      return false;
  }
  std::uint64_t count = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    count = count * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  // Further back than 1601 is the beginning of the record's time.
  const std::uint64_t unit = seconds_per_unit * kTicksPerSecond;
  const std::uint64_t now = clock.Now();
  *utc = count > now / unit ? 0 : now - count * unit;
  return true;
}

// The fraction of a second after the '.', 1 to 7 digits, in ticks.
bool ParseFraction(const std::string& s, std::size_t& at, std::uint32_t* ticks) {
  std::uint32_t value = 0;
  std::size_t digits = 0;
  while (at < s.size() && s[at] >= '0' && s[at] <= '9' && digits < 7) {
    value = value * 10 + static_cast<std::uint32_t>(s[at++] - '0');
    ++digits;
  }
  if (digits == 0) return false;
  for (; digits < 7; ++digits) value *= 10;
  *ticks = value;
  return true;
}

// "Z", "+01:00", "-0530" or "+01": the offset from UTC in minutes.
bool ParseZone(const std::string& s, std::size_t& at, int* minutes) {
  if (Take(s, at, 'Z')) {
    *minutes = 0;
    return true;
  }
  const bool east = at < s.size() && s[at] == '+';
  if (!east && !Take(s, at, '-')) return false;
  if (east) ++at;
  int hours = 0;
  int mins = 0;
  if (!Digits(s, at, 2, &hours) || hours > 23) return false;
  if (at < s.size()) {
    Take(s, at, ':');
    if (!Digits(s, at, 2, &mins) || mins > 59) return false;
  }
  *minutes = (east ? 1 : -1) * (hours * 60 + mins);
  return true;
}

bool ParseAbsolute(Clock& clock, const std::string& s, std::uint64_t* utc) {
  CivilTime c;
  std::size_t at = 0;
  if (!Digits(s, at, 4, &c.year) || !Take(s, at, '-') || !Digits(s, at, 2, &c.month) ||
      !Take(s, at, '-') || !Digits(s, at, 2, &c.day)) {
    return false;
  }
  bool zoned = false;
  int zone_minutes = 0;
  if (at < s.size()) {
    if (!Take(s, at, 'T') && !Take(s, at, ' ')) return false;
    if (!Digits(s, at, 2, &c.hour) || !Take(s, at, ':') || !Digits(s, at, 2, &c.minute)) {
      return false;
    }
    if (Take(s, at, ':') && !Digits(s, at, 2, &c.second)) return false;
    if (Take(s, at, '.') && !ParseFraction(s, at, &c.ticks)) return false;
    if (at < s.size()) {
      if (!ParseZone(s, at, &zone_minutes) || at != s.size()) return false;
      zoned = true;
    }
  }
  std::uint64_t as_utc = 0;
  if (!FileTimeOf(c, &as_utc)) return false;
  if (!zoned) return clock.FromLocal(c, utc);
  const std::int64_t shift =
      static_cast<std::int64_t>(zone_minutes) * 60 * static_cast<std::int64_t>(kTicksPerSecond);
  if (shift > 0 && as_utc < static_cast<std::uint64_t>(shift)) return false;
  *utc = static_cast<std::uint64_t>(static_cast<std::int64_t>(as_utc) - shift);
  return true;
}

}  // namespace

CivilTime CivilOf(std::uint64_t filetime) {
  CivilTime c;
  const std::uint64_t seconds = filetime / kTicksPerSecond;
  c.ticks = static_cast<std::uint32_t>(filetime % kTicksPerSecond);
  const auto days = static_cast<std::int64_t>(seconds / kSecondsPerDay);
  const auto in_day = static_cast<int>(seconds % kSecondsPerDay);
  CivilFromDays(days - kDaysFrom1601To1970, &c);
  c.hour = in_day / 3600;
  c.minute = in_day / 60 % 60;
  c.second = in_day % 60;
  return c;
}

bool FileTimeOf(const CivilTime& c, std::uint64_t* filetime) {
  if (c.year < 1601 || c.year > 9999 || c.month < 1 || c.month > 12 || c.day < 1 ||
      c.day > DaysInMonth(c.year, c.month) || c.hour < 0 || c.hour > 23 || c.minute < 0 ||
      c.minute > 59 || c.second < 0 || c.second > 59 || c.ticks >= kTicksPerSecond) {
    return false;
  }
  const std::int64_t days = DaysFromCivil(c.year, c.month, c.day) + kDaysFrom1601To1970;
  const std::int64_t seconds = days * kSecondsPerDay + c.hour * 3600 + c.minute * 60 + c.second;
  *filetime = static_cast<std::uint64_t>(seconds) * kTicksPerSecond + c.ticks;
  return true;
}

std::string FormatLocalTime(Clock& clock, std::uint64_t utc, bool precise) {
  CivilTime local;
  std::uint64_t local_ticks = 0;
  const bool converted = clock.ToLocal(utc, &local) && FileTimeOf(local, &local_ticks);
  if (!converted) local = CivilOf(utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.year, local.month,
                local.day, local.hour, local.minute, local.second);
  std::string out = text;
  if (!precise) return converted ? out : out + "Z";
  std::snprintf(text, sizeof text, ".%03u", static_cast<unsigned>(local.ticks / 10000));
  out += text;
  if (!converted) return out + "Z";
  const std::int64_t offset_ticks =
      static_cast<std::int64_t>(local_ticks) - static_cast<std::int64_t>(utc);
  const std::int64_t minutes_per_tick_unit = 60 * static_cast<std::int64_t>(kTicksPerSecond);
  const std::int64_t minutes =
      (offset_ticks + (offset_ticks >= 0 ? 1 : -1) * minutes_per_tick_unit / 2) /
      minutes_per_tick_unit;
  const std::int64_t size = minutes < 0 ? -minutes : minutes;
  std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+',
                static_cast<int>(size / 60), static_cast<int>(size % 60));
  return out + text;
}

bool ParseSince(Clock& clock, const std::string& text, std::uint64_t* utc) {
  return ParseRelative(clock, text, utc) || ParseAbsolute(clock, text, utc);
}

}  // namespace tarvel::ctl
