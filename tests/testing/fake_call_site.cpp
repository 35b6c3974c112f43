#include "tests/testing/fake_call_site.h"

namespace tarvel::testing {

int FakeCallSite::IsExemptProcess() {
  calls.push_back("exempt");
  return exempt;
}

int FakeCallSite::IsHttpSocket() {
  calls.push_back("http");
  return http;
}

int FakeCallSite::LowerCall() {
  calls.push_back("lower");
  const int n = lower_calls_++;
  if (on_lower_call) on_lower_call(n);
  const std::size_t i = static_cast<std::size_t>(n) < lower_results.size()
                            ? static_cast<std::size_t>(n)
                            : lower_results.size() - 1;
  return lower_results[i];
}

void FakeCallSite::LowerCutConnection() { calls.push_back("cut"); }

std::string FakeCallSite::Sequence() const {
  std::string out;
  for (const std::string& c : calls) {
    if (c != "lower" && c != "cut") continue;
    if (!out.empty()) out += ',';
    out += c;
  }
  return out;
}

}  // namespace tarvel::testing
