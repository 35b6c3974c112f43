// A CallSite that records every call the verdict makes, answers the facts
// as told, and returns scripted lower results. A call named in `fault_at`
// throws: from a lower call it stands for a processor fault inside the lower
// provider, from a test for one in tarvel's own work.
#pragma once

#include <string>
#include <vector>

#include "filter/verdict.h"

namespace tarvel::testing {

class FakeCallSite final : public CallSite {
 public:
  int exempt = 0;
  int http = 1;
  int quic = 0;
  // Results of successive LowerCall()s; the last repeats.
  std::vector<int> lower_results = {7};
  // The call that throws: "exempt", "http", "quic", "cut", "record", or
  // "lower#N" for the N-th LowerCall (0-based); empty for none.
  std::string fault_at;

  // The hello start the socket holds: TakeHelloStart hands it out and
  // clears it, KeepHelloStart sets it. Not among the calls.
  std::string kept_start;
  // What BytesReceived answers.
  std::uint32_t received = kNotKnown;

  // The active categories' entries as (category, domain); a host falls
  // under a domain it equals or ends in after a dot. The slot is the
  // entry's index. With none, FindCategory is not among the calls.
  std::vector<std::pair<std::string, std::string>> categories;

  // "exempt", "http", "quic", "category", "lower", "cut", "record", "efault",
  // "refused"
  std::vector<std::string> calls;
  // Each RecordBlock as "REASON HOST PHRASE": "blacklisted bad.example -1",
  // "phrase-in-receive - 56" (no host), "category:adult a.cat.example -1".
  std::vector<std::string> records;

  int IsExemptProcess() override;
  int IsHttpSocket() override;
  int IsQuicSocket() override;
  int LowerCall() override;
  void LowerCutConnection() override;
  void RecordBlock(const BlockFacts& facts) override;
  void FailWithFault() override;
  void FailRefused() override;
  HelloStart TakeHelloStart() override;
  void KeepHelloStart(const HelloStart& start) override;
  std::uint32_t BytesReceived() override { return received; }
  bool FindCategory(const Host& host, CategoryHit* hit) override;

  // The lower calls and the error stores, e.g. "cut,lower,efault".
  std::string Sequence() const;

 private:
  void Record(const std::string& call);

  int lower_calls_ = 0;
};

}  // namespace tarvel::testing
