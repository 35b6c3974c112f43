// The record of blocked requests: a ring of the last kBlockRecords blocks in
// the memory every process holding tarvel.dll shares, with counters of
// blocks by reason.
//
// Writers take a record number with one interlocked add and never lock: the
// record's sequence word goes odd (2n + 1) while record n is written and
// even (2n + 2) once it is whole. A reader copies a record and keeps the copy
// only when the word read 2n + 2 before and after the copy, so it never
// shows a record that is being written or that a later one overwrote. Its
// layout is shared between processes and between the 32- and 64-bit builds:
// fixed-size integers and bytes only, offsets pinned below.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvel {

inline constexpr int kBlockRecords = 1024;
inline constexpr int kRecordHostBytes = 128;    // the host, NUL-terminated
inline constexpr int kRecordProgramBytes = 80;  // the executable's file name, UTF-8
inline constexpr int kBlockReasonSlots = 8;     // counters, indexed by BlockReason

// Why a request was blocked. The values are stored in the shared record.
enum class BlockReason : std::uint32_t {
  kNone = 0,             // not a block; never stored
  kBlacklisted = 1,      // the host matched the blacklist
  kNotWhitelisted = 2,   // white-only mode, the host matched no whitelist entry
  kPhraseInSend = 3,     // a phrase in the first buffer of a send
  kPhraseInReceive = 4,  // a phrase in the first buffer of a receive
  kQuicRefused = 5,      // a QUIC datagram refused
  kChangeRefused = 6,    // a locked filter refused a change from a caller without the rights
  kCategory = 7,         // the host fell under an active category
};
inline constexpr std::uint32_t kLastBlockReason = 7;

// The remote address's family in a record (not the platform's AF_ values).
inline constexpr std::uint8_t kNoAddress = 0;
inline constexpr std::uint8_t kAddressIPv4 = 4;
inline constexpr std::uint8_t kAddressIPv6 = 6;

// One block as the writer saw it.
struct alignas(8) BlockEntry {
  std::uint64_t time;  // UTC as a FILETIME: 100 ns steps since 1601
  std::uint32_t process_id;
  std::uint32_t reason;  // a BlockReason
  std::int32_t phrase;   // phrase table slot of the first phrase found, or -1
  std::uint16_t port;    // remote port, host byte order
  std::uint8_t family;   // kNoAddress, kAddressIPv4 or kAddressIPv6
  std::uint8_t reserved;
  std::uint8_t address[16];     // network byte order; IPv4 in the first 4 bytes
  char host[kRecordHostBytes];  // NUL-terminated, NUL-padded
  char program[kRecordProgramBytes];
};

struct alignas(8) BlockRecord {
  std::uint64_t sequence;  // 0: never written; 2n + 1: record n being written; 2n + 2: whole
  BlockEntry entry;
};

struct alignas(8) BlockLog {
  std::uint64_t next_record;                // records numbered so far
  std::uint64_t dropped;                    // records given up: their slot was busy
  std::uint64_t blocks[kBlockReasonSlots];  // blocks by reason, since the block was made
  BlockRecord records[kBlockRecords];       // record n lives in records[n % kBlockRecords]
};

static_assert(offsetof(BlockEntry, time) == 0);
static_assert(offsetof(BlockEntry, process_id) == 8);
static_assert(offsetof(BlockEntry, reason) == 12);
static_assert(offsetof(BlockEntry, phrase) == 16);
static_assert(offsetof(BlockEntry, port) == 20);
static_assert(offsetof(BlockEntry, family) == 22);
static_assert(offsetof(BlockEntry, reserved) == 23);
static_assert(offsetof(BlockEntry, address) == 24);
static_assert(offsetof(BlockEntry, host) == 40);
static_assert(offsetof(BlockEntry, program) == 168);
static_assert(sizeof(BlockEntry) == 248);
static_assert(offsetof(BlockRecord, sequence) == 0);
static_assert(offsetof(BlockRecord, entry) == 8);
static_assert(sizeof(BlockRecord) == 256);
static_assert(offsetof(BlockLog, next_record) == 0);
static_assert(offsetof(BlockLog, dropped) == 8);
static_assert(offsetof(BlockLog, blocks) == 16);
static_assert(offsetof(BlockLog, records) == 80);
static_assert(sizeof(BlockLog) == 80 + 256 * kBlockRecords);
static_assert(alignof(BlockLog) == 8);
// A lock behind an atomic would be private to one process.
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint64_t>::required_alignment <= 8);

// A category block's record keeps the category's name in the host field's
// last kRecordCategoryBytes (NUL-terminated, after the host's own NUL); its
// host is then cut to fit in front of it.
inline constexpr int kRecordCategoryBytes = 34;
inline constexpr int kRecordCategoryAt = kRecordHostBytes - kRecordCategoryBytes;

// Copies `length` bytes of `text` into a NUL-terminated field of `size`
// bytes, cut so that at least one NUL remains and no UTF-8 character is
// split, and NUL-pads the rest.
void SetRecordText(char* field, std::size_t size, const char* text, std::size_t length);

inline constexpr std::uint64_t kNoRecord = ~std::uint64_t{0};

// Appends a record: counts the block under its reason, takes the next
// record number and writes the record whole. Returns the number, or
// kNoRecord when the slot was still held by a writer a whole ring behind (or
// a newer record had taken it): the block is counted, the record dropped.
// A writer killed between claiming its slot and publishing leaves the slot
// held for good: every later record that lands on it is dropped and counted.
// Lock-free; safe from any thread of any process sharing the log.
std::uint64_t AppendBlock(BlockLog& log, const BlockEntry& entry);

enum class RecordRead {
  kWhole,    // `out` holds record n as its writer finished it
  kPending,  // record n is numbered but not yet whole (or its writer gave up)
  kGone,     // a later record took its slot
};

// Reads record n into `out`; `out` is meaningful only for kWhole.
RecordRead ReadRecord(const BlockLog& log, std::uint64_t n, BlockEntry* out);

// The records numbered so far; the ring holds at most the last kBlockRecords.
std::uint64_t RecordsNumbered(const BlockLog& log);

struct BlockCounts {
  std::uint64_t by_reason[kBlockReasonSlots];
  std::uint64_t total;    // the sum over the reasons
  std::uint64_t dropped;  // records given up
};
BlockCounts ReadBlockCounts(const BlockLog& log);

}  // namespace tarvel
