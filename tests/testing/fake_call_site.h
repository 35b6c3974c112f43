// A CallSite that records every call the verdict makes, answers the facts
// as told, and returns scripted lower results. Throwing from a lower call
// stands for a processor fault inside the lower provider.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "filter/verdict.h"

namespace tarvel::testing {

class FakeCallSite final : public CallSite {
 public:
  int exempt = 0;
  int http = 1;
  // Results of successive LowerCall()s; the last repeats.
  std::vector<int> lower_results = {7};
  // Called before the n-th LowerCall (0-based) returns; may throw.
  std::function<void(int)> on_lower_call;

  std::vector<std::string> calls;  // "exempt", "http", "lower", "cut"

  int IsExemptProcess() override;
  int IsHttpSocket() override;
  int LowerCall() override;
  void LowerCutConnection() override;

  std::string Sequence() const;  // calls of the lower provider, e.g. "cut,lower"

 private:
  int lower_calls_ = 0;
};

}  // namespace tarvel::testing
