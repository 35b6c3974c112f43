// Times of the record of blocked requests: the record keeps UTC as a
// FILETIME (100 ns steps since 1601-01-01); tarvelctl shows local ISO-8601
// times and selects with --since.
#pragma once

#include <cstdint>
#include <string>

namespace tarvel::ctl {

inline constexpr std::uint64_t kTicksPerSecond = 10'000'000;

// A calendar date and time of day, without a time zone.
struct CivilTime {
  int year = 1601;
  int month = 1;  // 1 to 12
  int day = 1;    // 1 to the month's length
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::uint32_t ticks = 0;  // 100 ns steps within the second
};

// The clock and time zone of the machine, and the wait between looks at the
// record.
class Clock {
 public:
  virtual ~Clock() = default;
  // Now, as UTC in FILETIME steps.
  virtual std::uint64_t Now() = 0;
  // UTC as this machine's local time, and local time as UTC, by the time
  // zone's rules for that date; false when it cannot be converted.
  virtual bool ToLocal(std::uint64_t utc, CivilTime* local) = 0;
  virtual bool FromLocal(const CivilTime& local, std::uint64_t* utc) = 0;
  // Waits about `milliseconds`; false once the user asked to stop (Ctrl+C).
  virtual bool Wait(int milliseconds) = 0;
};

// The calendar time that `filetime` names (read as UTC), and back; the years
// 1601 to 9999. Civil returns false for a date that does not exist.
CivilTime CivilOf(std::uint64_t filetime);
bool FileTimeOf(const CivilTime& civil, std::uint64_t* filetime);

// "2026-12-08T09:14:03" in local time; with `precise`, milliseconds and the
// offset from UTC as well: "2026-12-08T09:14:03.250+01:00". A time the clock
// cannot convert is shown as UTC, with "Z".
std::string FormatLocalTime(Clock& clock, std::uint64_t utc, bool precise);

// --since: a date ("2026-12-08", local midnight), a date and time
// ("2026-12-08T09:30", "2026-12-08 09:30:15", local unless it ends in "Z" or
// an offset such as "+01:00"), or a time back from now: a whole number and
// one of s, m, h, d ("90s", "10m", "2h", "1d"). False when `text` is none of
// these.
bool ParseSince(Clock& clock, const std::string& text, std::uint64_t* utc);

}  // namespace tarvel::ctl
