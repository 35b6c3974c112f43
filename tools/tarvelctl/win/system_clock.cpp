#include "tools/tarvelctl/win/system_clock.h"

#include <windows.h>

#include <atomic>

namespace tarvel::ctl {
namespace {

std::atomic<bool> g_stop{false};

// Ctrl+C and Ctrl+Break end a wait instead of the process, so that what was
// printed is flushed and the command ends with its own exit code.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  g_stop = true;
  return TRUE;
}

std::uint64_t Ticks(const FILETIME& t) {
  return static_cast<std::uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

FILETIME FileTime(std::uint64_t ticks) {
  return {static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
}

class SystemClockImpl final : public Clock {
 public:
  std::uint64_t Now() override {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
  }

  // Through SYSTEMTIME, whose milliseconds drop the finer ticks: they are
  // carried across the conversion by hand.
  bool ToLocal(std::uint64_t utc, CivilTime* local) override {
    const FILETIME ft = FileTime(utc - utc % kTicksPerSecond);
    SYSTEMTIME u = {};
    SYSTEMTIME l = {};
    if (!FileTimeToSystemTime(&ft, &u) || !SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) {
      return false;
    }
    *local = {l.wYear,
              l.wMonth,
              l.wDay,
              l.wHour,
              l.wMinute,
              l.wSecond,
              static_cast<std::uint32_t>(utc % kTicksPerSecond)};
    return true;
  }

  bool FromLocal(const CivilTime& local, std::uint64_t* utc) override {
    SYSTEMTIME l = {};
    l.wYear = static_cast<WORD>(local.year);
    l.wMonth = static_cast<WORD>(local.month);
    l.wDay = static_cast<WORD>(local.day);
    l.wHour = static_cast<WORD>(local.hour);
    l.wMinute = static_cast<WORD>(local.minute);
    l.wSecond = static_cast<WORD>(local.second);
    SYSTEMTIME u = {};
    FILETIME ft = {};
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &l, &u) || !SystemTimeToFileTime(&u, &ft)) {
      return false;
    }
    *utc = Ticks(ft) + local.ticks;
    return true;
  }

  bool Wait(int milliseconds) override {
    if (!handler_set_) {
      SetConsoleCtrlHandler(OnConsoleControl, TRUE);
      handler_set_ = true;
    }
    for (int waited = 0; waited < milliseconds && !g_stop; waited += 50) Sleep(50);
    return !g_stop;
  }

 private:
  bool handler_set_ = false;
};

}  // namespace

Clock& SystemClock() {
  static SystemClockImpl clock;
  return clock;
}

}  // namespace tarvel::ctl
