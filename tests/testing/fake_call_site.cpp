#include "tests/testing/fake_call_site.h"

#include <stdexcept>

namespace tarvel::testing {

void FakeCallSite::Record(const std::string& call) {
  calls.push_back(call.substr(0, call.find('#')));
  if (call == fault_at) throw std::runtime_error("fault in " + call);
}

int FakeCallSite::IsExemptProcess() {
  Record("exempt");
  return exempt;
}

int FakeCallSite::IsHttpSocket() {
  Record("http");
  return http;
}

int FakeCallSite::IsQuicSocket() {
  Record("quic");
  return quic;
}

int FakeCallSite::LowerCall() {
  const int n = lower_calls_++;
  Record("lower#" + std::to_string(n));
  const std::size_t i = static_cast<std::size_t>(n) < lower_results.size()
                            ? static_cast<std::size_t>(n)
                            : lower_results.size() - 1;
  return lower_results[i];
}

void FakeCallSite::LowerCutConnection() { Record("cut"); }

void FakeCallSite::RecordBlock(const BlockFacts& facts) {
  static const char* const kReasons[] = {"none",           "blacklisted",       "not-whitelisted",
                                         "phrase-in-send", "phrase-in-receive", "quic",
                                         "change-refused", "category:"};
  const auto reason = static_cast<std::uint32_t>(facts.reason);
  const std::string host(facts.host->text, facts.host->length);
  const std::string category = facts.category != nullptr ? facts.category->name : "";
  records.push_back(std::string(reason <= kLastBlockReason ? kReasons[reason] : "?") + category +
                    " " + (host.empty() ? "-" : host) + " " + std::to_string(facts.phrase));
  Record("record");
}

bool FakeCallSite::FindCategory(const Host& host, CategoryHit* hit) {
  // A site without categories stands for one that keeps none.
  if (categories.empty()) return false;
  Record("category");
  std::string name(host.text, host.length);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (std::size_t i = 0; i < categories.size(); ++i) {
    const std::string& domain = categories[i].second;
    const bool under = name == domain || (name.size() > domain.size() && name.ends_with(domain) &&
                                          name[name.size() - domain.size() - 1] == '.');
    if (!under) continue;
    hit->slot = static_cast<int>(i);
    categories[i].first.copy(hit->name, sizeof hit->name - 1);
    domain.copy(hit->entry, sizeof hit->entry - 1);
    return true;
  }
  return false;
}

void FakeCallSite::FailWithFault() { calls.push_back("efault"); }

void FakeCallSite::FailRefused() { calls.push_back("refused"); }

HelloStart FakeCallSite::TakeHelloStart() {
  HelloStart start;
  start.length = static_cast<std::uint8_t>(kept_start.size());
  kept_start.copy(start.bytes, sizeof start.bytes);
  kept_start.clear();
  return start;
}

void FakeCallSite::KeepHelloStart(const HelloStart& start) {
  kept_start.assign(start.bytes, start.length);
}

std::string FakeCallSite::Sequence() const {
  std::string out;
  for (const std::string& c : calls) {
    if (c != "lower" && c != "cut" && c != "efault" && c != "refused") continue;
    if (!out.empty()) out += ',';
    out += c;
  }
  return out;
}

}  // namespace tarvel::testing
