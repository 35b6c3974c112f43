// The send and receive verdicts: whether a call on an HTTP socket, or one
// that opens a TLS connection, passes to the lower provider or its
// connection is cut underneath the application; and whether a datagram to
// UDP port 443 (QUIC) is refused.
//
// The verdicts are functions of the filter state, the caller's buffers and
// what a CallSite answers; the Windows layer implements CallSite over the
// call's own arguments and the lower provider's table, tests over fakes.
#pragma once

#include <cstdint>

#include "filter/host.h"
#include "filter/tls_hello.h"
#include "state/block_log.h"
#include "state/category_set.h"
#include "state/extensions.h"
#include "state/filter_state.h"

namespace tarvel {

// Laid out as WSABUF (a 32-bit length, then the pointer), so the Windows
// layer passes the caller's array as it is.
struct BufferDesc {
  std::uint32_t len;
  char* buf;
};

// Why a call is blocked, as the record of blocked requests keeps it.
struct BlockFacts {
  BlockReason reason;
  const Host* host;                       // the host judged; empty when none was (a receive)
  std::int32_t phrase;                    // phrase table slot of the first phrase found, or -1
  const CategoryHit* category = nullptr;  // kCategory: the category and its entry
};

// The record of a block as the verdict knows it: reason, phrase slot, host
// and, for a category, its name; the platform adds time, process and
// address.
BlockEntry EntryOf(const BlockFacts& facts);

// One socket call as the verdict sees it. Every method may be called more
// than once, or not at all; the tests are asked in a fixed order and only
// when the verdict needs them.
class CallSite {
 public:
  // 1 if the process is exempt from filtering, else 0.
  virtual int IsExemptProcess() = 0;
  // 1 if the socket's local or remote port is 80 or 8080, else 0.
  virtual int IsHttpSocket() = 0;
  // 1 if the socket is a datagram socket connected to port 443, else 0.
  virtual int IsQuicSocket() = 0;
  // The judged call (lower WSPSend or WSPRecv) with the caller's arguments
  // unchanged; its result is what the application gets.
  virtual int LowerCall() = 0;
  // The lower WSPShutdown(s, SD_BOTH) with the caller's socket and error
  // pointer; its result is ignored. The connection carries no more data
  // either way, but the handle stays the application's until it closes it.
  virtual void LowerCutConnection() = 0;
  // Notes the block in the record of blocked requests; called once per
  // block, before the cut, and never on a pass. A fault inside it is caught
  // and the block goes on.
  virtual void RecordBlock(const BlockFacts& facts) = 0;
  // Stores WSAEFAULT through the caller's error pointer: the answer to a
  // fault caught inside a lower call. The pointer may be bad; a fault in the
  // store itself is caught and ignored.
  virtual void FailWithFault() = 0;
  // Stores WSAEACCES through the caller's error pointer, under the same
  // guard: the answer to a call refused without reaching the lower provider.
  virtual void FailRefused() = 0;

  // The hello start that this socket's previous send left (KeepHelloStart),
  // which is then gone; length 0 when there is none. Asked once per send,
  // with the HTTPS filter on. A site that keeps nothing per socket has none.
  virtual HelloStart TakeHelloStart() { return {}; }
  // Leaves `start` for this socket's next send.
  virtual void KeepHelloStart(const HelloStart& start) { static_cast<void>(start); }
  // After a receive that did not fail: the bytes it placed in the buffers,
  // or kNotKnown when the call does not tell.
  static constexpr std::uint32_t kNotKnown = 0xFFFFFFFFu;
  virtual std::uint32_t BytesReceived() { return kNotKnown; }
  // The active category that the host falls under (asked only in blacklist
  // mode, of a host the blacklist let pass); false when none. A site that
  // keeps no categories has none.
  virtual bool FindCategory(const Host& host, CategoryHit* hit) {
    static_cast<void>(host);
    static_cast<void>(hit);
    return false;
  }

 protected:
  ~CallSite() = default;
};

// The send entry. Exempt process: pass. Lists ready and HTTP socket: the
// host of the first buffer is judged against the white list (white-only mode,
// no match blocks) or the black list (a match blocks), and then in blacklist
// mode against the active categories (a host under one blocks unless the
// white list matches it). Then, with the smart filter on and an HTTP socket,
// a phrase in the first buffer blocks.
//
// With the HTTPS filter on, two tests come first, after the exempt process.
// A send whose bytes begin with a ClientHello (BeginsWithClientHello) is
// judged by the host it names alone, on any socket, with the lists ready:
// like a Host header's host, except that a hello naming none blocks in
// white-only mode; the phrase test plays no part. The bytes are the hello
// start the socket's previous send left, then the buffers in order: the
// hello is read across them (its first kHelloReach bytes) when it does not
// lie whole in the first. A send that passes with fewer than
// kHelloHeadBytes such bytes, or that is the one byte 22, leaves them for
// the socket's next send (KeepHelloStart), which is judged with them in
// front. Otherwise a datagram socket connected to port 443 fails refused
// (FailRefused), unsent, and is recorded as such.
//
// Blocking records the block with its reason, the host and, for a phrase,
// the first phrase found; then it cuts the connection and makes the send,
// which fails in the lower provider. A fault inside a guarded lower call (the
// exempt forward, the cut, the blocked send) fails the call with WSAEFAULT
// and repeats nothing; a fault in tarvel's own work forwards the send
// unchanged.
int FilterSend(const FilterState& state, const SharedExtensions& extensions,
               const BufferDesc* buffers, std::uint32_t count, CallSite& site);

// How a receive was asked for. An overlapped receive that completes at once
// has its completion queued (to the caller's event, completion port or
// routine) by the time the call returns.
enum class Overlap : std::uint8_t {
  kNone,         // lpOverlapped null
  kOverlapped,   // lpOverlapped set, no completion routine
  kWithRoutine,  // lpOverlapped and a completion routine
};

// The receive entry: receive first; a failed receive (-1), an overlapped one
// with a completion routine, an exempt process, a non-HTTP socket or the
// smart filter off return at once. Otherwise a phrase in the bytes the
// receive placed in the first buffer (BytesReceived, at most its length;
// its whole length when not known) blocks: recorded with the first phrase
// found, cut, then a second receive whose result is returned; an overlapped
// receive (no routine) is cut and keeps the first result, so that its queued
// completion is the only one and the next receive fails. A fault inside a lower call (either
// receive, the cut) fails the call with WSAEFAULT and repeats nothing, except in the cut of an
// overlapped receive, which keeps the first result as its completion is
// queued; a fault in tarvel's own work returns the first receive's result.
int FilterRecv(const FilterState& state, const BufferDesc* buffers, std::uint32_t count,
               Overlap overlap, CallSite& site);

// What the send-to entry asks of one call.
class DatagramSite {
 public:
  virtual int IsExemptProcess() = 0;
  // 1 if the socket is a datagram socket and the datagram goes to port 443:
  // the destination given, or without one the connected peer.
  virtual int IsQuicDestination() = 0;
  // As CallSite::RecordBlock, for a refused datagram.
  virtual void RecordBlock(const BlockFacts& facts) = 0;

 protected:
  ~DatagramSite() = default;
};

// 1 when a send-to must fail refused without reaching the lower provider:
// the HTTPS filter on, the process not exempt, a datagram to port 443; the
// refusal is recorded. The tests run inside the guard; a fault in them (a
// bad destination address) gives 0, and the lower provider answers the
// call. With the filter off nothing is asked.
int RefusesDatagram(const SharedExtensions& extensions, DatagramSite& site);

}  // namespace tarvel
