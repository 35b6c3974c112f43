// What the filter keeps per socket between calls: the port test's answer,
// and a note of 64 bits that a verdict leaves for the socket's next call.
//
// A connected socket's ports stay as they are until it is connected again
// or closed, so its answer is asked of the system once and then kept. The
// provider tells the table what it sees happen to a socket: made (WSPSocket,
// WSPAccept, WSPJoinLeaf), connected again (WSPConnect), closed
// (WSPCloseSocket, the block action), every socket closed (WSPCleanup).
//
// Only a socket that the table saw made gets its answer kept. The close of
// such a socket passes this provider, so its handle value cannot be reused
// under a kept answer; any other socket is asked of the system every time.
//
// The table is per process, fixed in size (SocketFacts::kSlots slots of two
// 64-bit words, zero-initialised, no allocation ever) and lock-free: a lookup
// is one atomic load, a change one compare-and-swap. A handle value maps to
// one slot; a socket made while its slot holds another takes the slot over,
// and the other is then asked every time. A handle value above 32 bits is
// never kept.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "filter/exempt_and_http_rules.h"

namespace tarvel {

// What the system said about one socket's ports.
struct PortReading {
  bool both_read;  // the local and the peer address were both read
  int http;        // IsHttpPortPair of the two ports, a port not read being 0
};

class SocketFacts {
 public:
  static constexpr int kSlotBits = 14;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

  // A lookup: the kept answer (1 or 0), or -1 with what an answer may be kept against.
  struct Lookup {
    int answer;
    std::uint64_t seen;  // the slot's word as the lookup found it
    bool keepable;       // the socket was made here and its answer is not known yet
  };

  constexpr SocketFacts() = default;
  SocketFacts(const SocketFacts&) = delete;
  SocketFacts& operator=(const SocketFacts&) = delete;

  // The provider made `socket`: it is known from now on, with no answer.
  void Made(std::uint64_t socket);
  // `socket` was connected (again): its answer is dropped; it stays known.
  void Reconnected(std::uint64_t socket);
  // `socket` is closed: the table forgets it; it is asked every time until
  // a socket is made on its handle value again.
  void Forget(std::uint64_t socket);
  // Every socket of the process is closed.
  void ForgetAll();

  Lookup Find(std::uint64_t socket) const;
  // Keeps `http` for `socket` when its slot still holds what `found` saw:
  // nothing happened to the socket since (no close, no connect, no new
  // socket on its slot). Otherwise keeps nothing. A note stays as it is.
  void Keep(std::uint64_t socket, const Lookup& found, int http);

  // Leaves `note` (not 0) for a socket the table knows, replacing any
  // earlier one; a socket it does not know gets none. The note is dropped
  // with the answer: by Made, Reconnected, Forget and ForgetAll.
  void SetNote(std::uint64_t socket, std::uint64_t note);
  // The socket's note, which is then gone; 0 when it has none. One load
  // when it has none.
  std::uint64_t TakeNote(std::uint64_t socket);

 private:
  std::atomic<std::uint64_t>& SlotOf(std::uint64_t socket);
  const std::atomic<std::uint64_t>& SlotOf(std::uint64_t socket) const;

  std::atomic<std::uint64_t> slots_[kSlots] = {};
  std::atomic<std::uint64_t> notes_[kSlots] = {};
};

// The port test with the table in front: the kept answer, or the system's
// (`read(socket)` returns a PortReading), kept when both addresses were read.
template <typename Read>
int IsHttpSocketKept(SocketFacts& facts, std::uint64_t socket, Read&& read) {
  const SocketFacts::Lookup found = facts.Find(socket);
  if (found.answer >= 0) return found.answer;
  const PortReading reading = read(socket);
  if (found.keepable && reading.both_read) facts.Keep(socket, found, reading.http);
  return reading.http;
}

}  // namespace tarvel
