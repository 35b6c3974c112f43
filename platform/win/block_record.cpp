#include "platform/win/block_record.h"

#include <ws2tcpip.h>

#include <atomic>
#include <cstring>

#include "state/shared_state.h"

namespace tarvel {
namespace {

// The executable's file name, kept once the first block of the process took
// it. A thread that finds it not yet kept takes the name itself.
char g_program[kRecordProgramBytes];
std::atomic<int> g_program_state{0};  // 0: not taken, 1: being kept, 2: kept

void TakeProgramName(char (&out)[kRecordProgramBytes]) {
  wchar_t path[2 * MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, path, 2 * MAX_PATH);
  DWORD start = n;
  while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/') --start;
  char name[4 * MAX_PATH] = {};
  int bytes = 0;
  if (n > 0 && n < 2 * MAX_PATH) {
    bytes = WideCharToMultiByte(CP_UTF8, 0, path + start, static_cast<int>(n - start), name,
                                sizeof name, nullptr, nullptr);
  }
  SetRecordText(out, sizeof out, name, bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
}

void ProgramName(char (&out)[kRecordProgramBytes]) {
  if (g_program_state.load(std::memory_order_acquire) == 2) {
    std::memcpy(out, g_program, sizeof out);
    return;
  }
  TakeProgramName(out);
  int expected = 0;
  if (g_program_state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
    std::memcpy(g_program, out, sizeof out);
    g_program_state.store(2, std::memory_order_release);
  }
}

// The peer's address and port, read only now that the socket blocks.
void RemoteAddress(SOCKET s, BlockEntry& entry) {
  sockaddr_storage address = {};
  int length = sizeof address;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) return;
  if (address.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    entry.family = kAddressIPv4;
    entry.port = ntohs(in->sin_port);
    std::memcpy(entry.address, &in->sin_addr, 4);
  } else if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    entry.family = kAddressIPv6;
    entry.port = ntohs(in6->sin6_port);
    std::memcpy(entry.address, &in6->sin6_addr, 16);
  }
}

}  // namespace

void RecordBlockOn(SOCKET s, const BlockFacts& facts) {
  BlockEntry entry = EntryOf(facts);
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  entry.time = static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  entry.process_id = GetCurrentProcessId();
  RemoteAddress(s, entry);
  ProgramName(entry.program);
  AppendBlock(SharedExtensionBlock().block_log, entry);
  if (facts.category != nullptr)
    CountCategoryBlock(SharedExtensionBlock().categories, facts.category->slot);
}

}  // namespace tarvel
