// What the recording lower provider keeps, read by the tests through its
// export RecorderGet (the tests share its address space).
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

#include <cstdint>
#include <type_traits>

inline constexpr int kMaxRecordedCalls = 64;
// Past the 30 entries: the extension functions its WSPIoctl hands out.
inline constexpr int kTransmitPacketsEntry = 30;
inline constexpr int kDisconnectExEntry = 31;
inline constexpr int kConnectExEntry = 32;

// How a told entry faults: a processor fault, or a non-continuable
// exception raised with the code of a Visual C++ throw.
inline constexpr int kFaultAccessViolation = 0;
inline constexpr int kFaultNoncontinuable = 1;
inline constexpr DWORD kNoncontinuableCode = 0xE06D7363;

struct RecordedCall {
  int entry;  // index of the field in WSPPROC_TABLE, or an extension entry
  int arg_count;
  std::uintptr_t args[11];
};

struct RecorderState {
  // Calls of the 30 entries.
  int call_count;
  RecordedCall calls[kMaxRecordedCalls];
  // Entry k returns result_base + k and stores error_base + k at lpErrno.
  int result_base;
  int error_base;
  // Entry fault_entry faults as fault_kind says on its next fault_times calls.
  int fault_entry;
  int fault_times;
  int fault_kind;
  // WSPStartup: its result, whether it fills the table when failing, and
  // the arguments of its last call.
  int startup_result;
  bool startup_fill_table_on_error;
  int startup_calls;
  WORD startup_version;
  LPWSPDATA startup_data;
  LPWSAPROTOCOL_INFOW startup_info;
  WSPUPCALLTABLE startup_upcalls;
  LPWSPPROC_TABLE startup_table;
};

using RecorderGetFn = RecorderState* (*)();
using RecorderEntryNameFn = const char* (*)(int entry);
