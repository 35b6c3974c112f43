#include "state/block_log.h"

#include <cstring>

namespace tarvel {
namespace {

// Other processes write the log while this one does: every 64-bit word is
// accessed whole, as an atomic.
std::atomic_ref<std::uint64_t> Word(const std::uint64_t& w) {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(w));
}

std::uint64_t Writing(std::uint64_t n) { return 2 * n + 1; }
std::uint64_t Whole(std::uint64_t n) { return 2 * n + 2; }

// A UTF-8 continuation byte: 10xxxxxx.
bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

void SetRecordText(char* field, std::size_t size, const char* text, std::size_t length) {
  if (size == 0) return;
  std::size_t n = length < size - 1 ? length : size - 1;
  // A cut inside a character drops the whole character.
  if (n < length) {
    while (n > 0 && IsContinuation(text[n])) --n;
  }
  if (n > 0) std::memcpy(field, text, n);
  std::memset(field + n, 0, size - n);
}

std::uint64_t AppendBlock(BlockLog& log, const BlockEntry& entry) {
  const std::size_t reason = entry.reason < kBlockReasonSlots ? entry.reason : 0;
  Word(log.blocks[reason]).fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t n = Word(log.next_record).fetch_add(1, std::memory_order_relaxed);
  BlockRecord& record = log.records[n % kBlockRecords];
  auto sequence = Word(record.sequence);
  // Claim the slot: only from an even (whole or never written) word of an
  // older record. An odd word is a writer still in the slot, a whole ring
  // behind (stalled, or ended mid-write); writing beside it would tear both.
  std::uint64_t seen = sequence.load(std::memory_order_relaxed);
  do {
    if (seen % 2 == 1 || seen >= Whole(n)) {
      Word(log.dropped).fetch_add(1, std::memory_order_relaxed);
      return kNoRecord;
    }
  } while (!sequence.compare_exchange_weak(seen, Writing(n), std::memory_order_relaxed));
  // The odd word is seen before any byte of the new fields.
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(&record.entry, &entry, sizeof entry);
  sequence.store(Whole(n), std::memory_order_release);
  return n;
}

RecordRead ReadRecord(const BlockLog& log, std::uint64_t n, BlockEntry* out) {
  const BlockRecord& record = log.records[n % kBlockRecords];
  const auto sequence = Word(record.sequence);
  const std::uint64_t before = sequence.load(std::memory_order_acquire);
  if (before > Whole(n)) return RecordRead::kGone;
  if (before != Whole(n)) return RecordRead::kPending;
  std::memcpy(out, &record.entry, sizeof *out);
  // The copy is read before the word is read again.
  std::atomic_thread_fence(std::memory_order_acquire);
  return sequence.load(std::memory_order_relaxed) == before ? RecordRead::kWhole
                                                            : RecordRead::kGone;
}

std::uint64_t RecordsNumbered(const BlockLog& log) {
  return Word(log.next_record).load(std::memory_order_acquire);
}

BlockCounts ReadBlockCounts(const BlockLog& log) {
  BlockCounts counts{};
  for (int r = 0; r < kBlockReasonSlots; ++r) {
    counts.by_reason[r] = Word(log.blocks[r]).load(std::memory_order_relaxed);
    counts.total += counts.by_reason[r];
  }
  counts.dropped = Word(log.dropped).load(std::memory_order_relaxed);
  return counts;
}

}  // namespace tarvel
