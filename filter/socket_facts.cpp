#include "filter/socket_facts.h"

namespace tarvel {
namespace {

// A slot's word: the handle value in the high 32 bits, a generation in the
// next 29, the noted bit and the state in the low 2. Every change of a slot
// but keeping an answer or a note raises the generation and clears the
// noted bit, so a keep whose lookup came before a close, a connect or a new
// socket on the slot fails its compare-and-swap, and no note outlives the
// socket it was left for. The one way round it is 2^29 changes of the one
// slot between a thread's lookup and its keep (while it waits on two system
// calls), bringing the generation back to where that lookup saw it.
enum State : std::uint64_t { kEmpty = 0, kKnown = 1, kNotHttp = 2, kHttp = 3 };

constexpr int kGenerationBits = 29;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << kGenerationBits) - 1;
constexpr std::uint64_t kNoted = 4;
constexpr std::uint64_t kKeyLimit = 0xFFFFFFFFu;

static_assert(std::atomic<std::uint64_t>::is_always_lock_free,
              "readers of the socket table take no lock");

constexpr std::uint64_t KeyOf(std::uint64_t word) { return word >> 32; }
constexpr std::uint64_t GenerationOf(std::uint64_t word) { return (word >> 3) & kGenerationMask; }
constexpr State StateOf(std::uint64_t word) { return static_cast<State>(word & 3); }

constexpr std::uint64_t Word(std::uint64_t key, std::uint64_t generation, State state) {
  return key << 32 | (generation & kGenerationMask) << 3 | state;
}

// The same slot with a new generation: `key` in `state`.
constexpr std::uint64_t Next(std::uint64_t word, std::uint64_t key, State state) {
  return Word(key, GenerationOf(word) + 1, state);
}

bool Holds(std::uint64_t word, std::uint64_t socket) {
  return StateOf(word) != kEmpty && KeyOf(word) == socket;
}

// Replaces the slot's word by change(word) until no other thread came in
// between; change returns the word itself when nothing is to be done.
template <typename Change>
void Update(std::atomic<std::uint64_t>& slot, Change change) {
  std::uint64_t word = slot.load(std::memory_order_acquire);
  for (;;) {
    const std::uint64_t next = change(word);
    if (next == word) return;
    if (slot.compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      return;
    }
  }
}

// Handle values are multiples of 4 and mostly handed out in order.
std::size_t SlotIndex(std::uint64_t socket) { return (socket >> 2) & (SocketFacts::kSlots - 1); }

}  // namespace

std::atomic<std::uint64_t>& SocketFacts::SlotOf(std::uint64_t socket) {
  return slots_[SlotIndex(socket)];
}

const std::atomic<std::uint64_t>& SocketFacts::SlotOf(std::uint64_t socket) const {
  return slots_[SlotIndex(socket)];
}

void SocketFacts::Made(std::uint64_t socket) {
  if (socket > kKeyLimit) return;
  Update(SlotOf(socket), [socket](std::uint64_t word) { return Next(word, socket, kKnown); });
}

void SocketFacts::Reconnected(std::uint64_t socket) {
  if (socket > kKeyLimit) return;
  Update(SlotOf(socket), [socket](std::uint64_t word) {
    return Holds(word, socket) ? Next(word, socket, kKnown) : word;
  });
}

void SocketFacts::Forget(std::uint64_t socket) {
  if (socket > kKeyLimit) return;
  Update(SlotOf(socket), [socket](std::uint64_t word) {
    return Holds(word, socket) ? Next(word, 0, kEmpty) : word;
  });
}

void SocketFacts::ForgetAll() {
  for (std::atomic<std::uint64_t>& slot : slots_) {
    Update(slot, [](std::uint64_t word) {
      return StateOf(word) != kEmpty ? Next(word, 0, kEmpty) : word;
    });
  }
}

SocketFacts::Lookup SocketFacts::Find(std::uint64_t socket) const {
  if (socket > kKeyLimit) return {-1, 0, false};
  const std::uint64_t word = SlotOf(socket).load(std::memory_order_acquire);
  if (!Holds(word, socket)) return {-1, word, false};
  switch (StateOf(word)) {
    case kHttp:
      return {1, word, false};
    case kNotHttp:
      return {0, word, false};
    default:
      return {-1, word, true};
  }
}

void SocketFacts::Keep(std::uint64_t socket, const Lookup& found, int http) {
  if (!found.keepable || !Holds(found.seen, socket)) return;
  std::uint64_t expected = found.seen;
  const std::uint64_t kept =
      Word(socket, GenerationOf(expected), http == 1 ? kHttp : kNotHttp) | (expected & kNoted);
  // A failure means the slot changed since the lookup: keep nothing.
  SlotOf(socket).compare_exchange_strong(expected, kept, std::memory_order_acq_rel,
                                         std::memory_order_relaxed);
}

void SocketFacts::SetNote(std::uint64_t socket, std::uint64_t note) {
  if (socket > kKeyLimit || note == 0) return;
  // The note is written before the bit that shows it, so a taker that sees
  // the bit reads this note (or a later one).
  notes_[SlotIndex(socket)].store(note, std::memory_order_release);
  Update(SlotOf(socket),
         [socket](std::uint64_t word) { return Holds(word, socket) ? word | kNoted : word; });
}

std::uint64_t SocketFacts::TakeNote(std::uint64_t socket) {
  if (socket > kKeyLimit) return 0;
  std::atomic<std::uint64_t>& slot = SlotOf(socket);
  std::uint64_t word = slot.load(std::memory_order_acquire);
  while (Holds(word, socket) && (word & kNoted) != 0) {
    const std::uint64_t note = notes_[SlotIndex(socket)].load(std::memory_order_acquire);
    // Only the thread that clears the bit takes the note.
    if (slot.compare_exchange_weak(word, word & ~kNoted, std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
      return note;
    }
  }
  return 0;
}

}  // namespace tarvel
