// The per-socket table of port-test answers against a fake system that is
// asked every time (the plain port test, the oracle).
#include "filter/socket_facts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tarvel {
namespace {

// Sockets as the system sees them; counts the port tests it answers.
class FakeSystem {
 public:
  struct Ports {
    std::uint16_t local;
    std::uint16_t remote;
    bool connected;
  };
  std::map<std::uint64_t, Ports> sockets;
  int reads = 0;

  PortReading Read(std::uint64_t s) {
    ++reads;
    const auto it = sockets.find(s);
    if (it == sockets.end()) return {false, 0};
    const Ports& p = it->second;
    return {p.connected, IsHttpPortPair(p.local, p.connected ? p.remote : 0)};
  }
};

enum class Op { kMake, kConnect, kPlain, kClose, kCleanup, kAsk };

struct Step {
  Op op;
  std::uint64_t s = 0;
  std::uint16_t a = 0;  // kMake: local port; kConnect: remote port; kPlain: local port
  std::uint16_t b = 0;  // kPlain: remote port
  int answer = 0;       // kAsk: the answer and the system's reads so far
  int reads = 0;
};

// The provider made `s`, a socket on local port 50000, not connected.
Step Make(std::uint64_t s) { return {Op::kMake, s, 50000}; }
// The provider's WSPConnect connected `s` to `remote`.
Step Connect(std::uint64_t s, std::uint16_t remote) { return {Op::kConnect, s, remote}; }
// The system alone holds a connected `s` (made elsewhere, or connected
// without WSPConnect).
Step Plain(std::uint64_t s, std::uint16_t local, std::uint16_t remote) {
  return {Op::kPlain, s, local, remote};
}
Step Close(std::uint64_t s) { return {Op::kClose, s}; }
Step Cleanup() { return {Op::kCleanup}; }
Step Ask(std::uint64_t s, int answer, int reads) { return {Op::kAsk, s, 0, 0, answer, reads}; }

void Apply(const Step& step, SocketFacts& facts, FakeSystem& system) {
  auto& sockets = system.sockets;
  switch (step.op) {
    case Op::kMake:
      sockets[step.s] = {step.a, 0, false};
      facts.Made(step.s);
      break;
    case Op::kConnect:
      sockets[step.s].remote = step.a;
      sockets[step.s].connected = true;
      facts.Reconnected(step.s);
      break;
    case Op::kPlain:
      sockets[step.s] = {step.a, step.b, true};
      break;
    case Op::kClose:
      facts.Forget(step.s);
      sockets.erase(step.s);
      break;
    case Op::kCleanup:
      facts.ForgetAll();
      sockets.clear();
      break;
    case Op::kAsk:
      break;
  }
}

constexpr std::uint64_t kS = 0x104;
constexpr std::uint64_t kT = 0x108;
constexpr std::uint64_t kSameSlotAsS = kS + 4 * SocketFacts::kSlots;
constexpr std::uint64_t kWide = 0x100000104;  // above 32 bits

struct LifeRow {
  const char* name;
  std::vector<Step> steps;
};

class SocketLife : public ::testing::TestWithParam<LifeRow> {};

TEST_P(SocketLife, AnswersAndSystemReads) {
  auto facts = std::make_unique<SocketFacts>();
  FakeSystem system;
  int n = 0;
  for (const Step& step : GetParam().steps) {
    ++n;
    if (step.op != Op::kAsk) {
      Apply(step, *facts, system);
      continue;
    }
    const int oracle = system.Read(step.s).http;
    --system.reads;
    EXPECT_EQ(IsHttpSocketKept(*facts, step.s, [&](std::uint64_t s) { return system.Read(s); }),
              step.answer)
        << "step " << n;
    EXPECT_EQ(step.answer, oracle) << "step " << n << ": the row contradicts the system";
    EXPECT_EQ(system.reads, step.reads) << "step " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SocketLife,
    ::testing::Values(
        LifeRow{"KeptOnceConnected", {Make(kS), Connect(kS, 8080), Ask(kS, 1, 1), Ask(kS, 1, 1)}},
        LifeRow{"NoKeptToo", {Make(kS), Connect(kS, 443), Ask(kS, 0, 1), Ask(kS, 0, 1)}},
        LifeRow{"NotMadeHereAskedEveryTime", {Plain(kS, 50000, 80), Ask(kS, 1, 1), Ask(kS, 1, 2)}},
        LifeRow{"UnconnectedAskedAgainThenBecomesHttp",
                {Make(kS), Ask(kS, 0, 1), Ask(kS, 0, 2), Plain(kS, 50000, 80), Ask(kS, 1, 3),
                 Ask(kS, 1, 3)}},
        LifeRow{"ForgottenOnClose",
                {Make(kS), Connect(kS, 80), Ask(kS, 1, 1), Close(kS), Plain(kS, 50000, 443),
                 Ask(kS, 0, 2), Ask(kS, 0, 3)}},
        LifeRow{"ForgottenOnReconnect",
                {Make(kS), Connect(kS, 8080), Ask(kS, 1, 1), Connect(kS, 53), Ask(kS, 0, 2),
                 Ask(kS, 0, 2)}},
        LifeRow{"ForgottenOnCleanup",
                {Make(kS), Connect(kS, 80), Make(kT), Connect(kT, 80), Ask(kS, 1, 1), Ask(kT, 1, 2),
                 Cleanup(), Plain(kS, 50000, 443), Plain(kT, 50000, 443), Ask(kS, 0, 3),
                 Ask(kT, 0, 4)}},
        LifeRow{"ReusedHandleMadeAgainGetsFreshAnswer",
                {Make(kS), Connect(kS, 80), Ask(kS, 1, 1), Close(kS), Make(kS), Connect(kS, 443),
                 Ask(kS, 0, 2), Ask(kS, 0, 2)}},
        LifeRow{
            "MadeAgainAfterAnUnseenCloseGetsFreshAnswer",
            {Make(kS), Connect(kS, 80), Ask(kS, 1, 1), Make(kS), Connect(kS, 443), Ask(kS, 0, 2)}},
        LifeRow{"SocketOnTheSameSlotTakesItOver",
                {Make(kS), Connect(kS, 80), Ask(kS, 1, 1), Make(kSameSlotAsS),
                 Connect(kSameSlotAsS, 443), Ask(kSameSlotAsS, 0, 2), Ask(kSameSlotAsS, 0, 2),
                 Ask(kS, 1, 3), Ask(kS, 1, 4)}},
        LifeRow{"CloseOfAnotherSocketOnTheSlotKeepsIt",
                {Make(kS), Connect(kS, 80), Ask(kS, 1, 1), Close(kSameSlotAsS),
                 Connect(kSameSlotAsS, 443), Ask(kS, 1, 1)}},
        LifeRow{"WideHandleNeverKept",
                {Make(kWide), Connect(kWide, 80), Ask(kWide, 1, 1), Ask(kWide, 1, 2)}}),
    [](const ::testing::TestParamInfo<LifeRow>& info) { return std::string(info.param.name); });

// A keep whose lookup came before something happened to the socket or its
// slot is dropped: the answer it carries may be the old socket's.
struct InFlightRow {
  const char* name;
  void (*meanwhile)(SocketFacts&);
};

class InFlightKeep : public ::testing::TestWithParam<InFlightRow> {};

TEST_P(InFlightKeep, IsDropped) {
  auto facts = std::make_unique<SocketFacts>();
  facts->Made(kS);
  const SocketFacts::Lookup found = facts->Find(kS);
  ASSERT_TRUE(found.keepable);
  GetParam().meanwhile(*facts);
  facts->Keep(kS, found, 1);
  EXPECT_NE(facts->Find(kS).answer, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InFlightKeep,
    ::testing::Values(InFlightRow{"Close", [](SocketFacts& f) { f.Forget(kS); }},
                      InFlightRow{"Reconnect", [](SocketFacts& f) { f.Reconnected(kS); }},
                      InFlightRow{"Cleanup", [](SocketFacts& f) { f.ForgetAll(); }},
                      InFlightRow{"MadeAgain", [](SocketFacts& f) { f.Made(kS); }},
                      InFlightRow{"SlotTakenOver", [](SocketFacts& f) { f.Made(kSameSlotAsS); }},
                      InFlightRow{"AnotherKept",
                                  [](SocketFacts& f) { f.Keep(kS, f.Find(kS), 0); }}),
    [](const ::testing::TestParamInfo<InFlightRow>& info) { return std::string(info.param.name); });

// A note stays with a known socket until it is taken, and goes with any
// change of the socket, as its answer does.
struct NoteRow {
  const char* name;
  void (*meanwhile)(SocketFacts&);
  std::uint64_t taken;
};

class SocketNote : public ::testing::TestWithParam<NoteRow> {};

TEST_P(SocketNote, TakenOnceOrDropped) {
  auto facts = std::make_unique<SocketFacts>();
  facts->Made(kS);
  facts->SetNote(kS, 0x1603);
  GetParam().meanwhile(*facts);
  EXPECT_EQ(facts->TakeNote(kS), GetParam().taken);
  EXPECT_EQ(facts->TakeNote(kS), 0u) << "a note is taken once";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SocketNote,
    ::testing::Values(
        NoteRow{"Kept", [](SocketFacts&) {}, 0x1603},
        NoteRow{"KeptBesideAnAnswer", [](SocketFacts& f) { f.Keep(kS, f.Find(kS), 1); }, 0x1603},
        NoteRow{"Replaced", [](SocketFacts& f) { f.SetNote(kS, 0x2603); }, 0x2603},
        NoteRow{"DroppedOnClose", [](SocketFacts& f) { f.Forget(kS); }, 0},
        NoteRow{"DroppedOnReconnect", [](SocketFacts& f) { f.Reconnected(kS); }, 0},
        NoteRow{"DroppedOnCleanup", [](SocketFacts& f) { f.ForgetAll(); }, 0},
        NoteRow{"DroppedWhenMadeAgain", [](SocketFacts& f) { f.Made(kS); }, 0},
        NoteRow{"NotTheSlotsNextSocketsNote", [](SocketFacts& f) { f.Made(kSameSlotAsS); }, 0}),
    [](const ::testing::TestParamInfo<NoteRow>& info) { return std::string(info.param.name); });

TEST(SocketNote, NoneForASocketNotMadeHere) {
  auto facts = std::make_unique<SocketFacts>();
  facts->SetNote(kS, 0x16);
  EXPECT_EQ(facts->TakeNote(kS), 0u);
  facts->Made(kSameSlotAsS);
  facts->SetNote(kS, 0x16);
  EXPECT_EQ(facts->TakeNote(kSameSlotAsS), 0u);
}

// Readers ask while one thread closes sockets and makes new ones on their
// handle values and on the same slots, and connects sockets again. Each
// change flips the system's answer for the handle before the table hears of
// it, as the provider tells the table after the lower call; a change is
// bracketed by a version made odd for its duration. A reader that saw the
// same even version before and after its ask must have got that answer.
TEST(SocketFactsRace, AnswersAreNeverStale) {
  constexpr int kHandles = 64;  // the second half shares slots with the first
  constexpr int kReaders = 3;
  constexpr int kAsksPerReader = 1000000;
  auto facts = std::make_unique<SocketFacts>();
  std::atomic<std::uint32_t> version[kHandles] = {};
  std::atomic<int> system[kHandles] = {};
  auto handle = [](int i) {
    return 4 * static_cast<std::uint64_t>(i % 32 + 1) + (i < 32 ? 0 : 4 * SocketFacts::kSlots);
  };
  for (int i = 0; i < kHandles; ++i) facts->Made(handle(i));

  std::atomic<bool> done{false};
  std::thread changer([&] {
    std::mt19937 rng(7);
    while (!done.load()) {
      const int i = static_cast<int>(rng() % kHandles);
      version[i].fetch_add(1);
      if (rng() % 2 == 0) {
        facts->Forget(handle(i));  // closed; a new socket gets the handle value
        system[i].fetch_xor(1);
        facts->Made(handle(i));
      } else {
        system[i].fetch_xor(1);  // connected elsewhere
        facts->Reconnected(handle(i));
      }
      version[i].fetch_add(1);
    }
  });
  std::atomic<long> stale{0}, checked{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      std::mt19937 rng(100 + r);
      for (int k = 0; k < kAsksPerReader; ++k) {
        const int i = static_cast<int>(rng() % kHandles);
        const std::uint32_t before = version[i].load();
        const int expected = system[i].load();
        const int got = IsHttpSocketKept(*facts, handle(i), [&](std::uint64_t) {
          return PortReading{true, system[i].load()};
        });
        if (before % 2 == 0 && version[i].load() == before) {
          checked.fetch_add(1);
          if (got != expected) stale.fetch_add(1);
        }
      }
    });
  }
  for (std::thread& t : readers) t.join();
  done = true;
  changer.join();
  EXPECT_EQ(stale.load(), 0);
  EXPECT_GT(checked.load(), kReaders * kAsksPerReader / 10);
}

}  // namespace
}  // namespace tarvel
