#include "filter/key_prefilter.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <cstring>

#include "filter/ascii.h"

namespace tarvel {
namespace {

constexpr std::size_t kBlockPositions = 64;
constexpr int kBuckets = 8;
constexpr std::size_t kMaxPhrases = 128;
using PhraseSet = std::bitset<kMaxPhrases>;

// A sample of what an ordinary page is made of, markup and prose. Keys and
// fingerprints that occur in it would wake the full scan on many harmless
// pages, so the choice below avoids them.
constexpr char kOrdinaryPage[] =
    "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
    "content=\"width=device-width, initial-scale=1\"><title>Local news, weather and sport</title>"
    "<link rel=\"stylesheet\" href=\"/static/css/main.css\"><script async "
    "src=\"https://www.googletagmanager.com/gtag/js\"></script><script>window.dataLayer = "
    "window.dataLayer || []; document.addEventListener('DOMContentLoaded', function () { var "
    "button = document.querySelector('.menu-toggle'); button.onclick = function (event) { "
    "event.preventDefault(); }; });</script></head><body class=\"home page-template\"><header "
    "id=\"masthead\" class=\"site-header\"><nav class=\"navigation main-menu\"><ul><li><a "
    "href=\"/\">Home</a></li><li><a href=\"/news/\">News</a></li><li><a "
    "href=\"/business/\">Business</a></li><li><a href=\"/entertainment/\">Entertainment and "
    "arts</a></li><li><a href=\"/video/\">Video</a></li><li><a href=\"/contact/\">Contact "
    "us</a></li></ul></nav></header><main><article class=\"story\"><h1>Council approves new "
    "library and community centre</h1><p class=\"byline\">By our staff reporter, updated 3 "
    "hours ago</p><figure><img src=\"/images/photo-2024.jpg\" alt=\"Photo of the building "
    "site\" width=\"640\" height=\"360\"><figcaption>The site on Station Road, where work will "
    "start in the spring.</figcaption></figure><p>The council voted on Tuesday evening to "
    "approve the plans, which include a children's reading room, a cafe and meeting rooms for "
    "local groups. Residents who attended the public meeting said they were happy with the "
    "design, although some raised concerns about parking and traffic during construction. "
    "The project is expected to cost about four million pounds and will be paid for with a "
    "government grant and money from the sale of the old building. Click here to read the full "
    "report and watch the video of the meeting.</p><h2>Related stories</h2><ul "
    "class=\"related-links\"><li><a href=\"/news/schools\">New school opens its doors to "
    "pupils</a></li><li><a href=\"/news/weather\">Heavy rain expected this weekend</a></li>"
    "<li><a href=\"/film\">Review: the best new movies and live music this month</a></li><li>"
    "<a href=\"/sport/football\">Young team wins the cup final in front of a record "
    "crowd</a></li></ul></article><aside class=\"sidebar\"><h3>Most read</h3><ol><li>Black "
    "Friday shopping tips</li><li>Photos: the star of the summer festival</li><li>Celebrity "
    "chef opens a restaurant</li><li>Group chat: "
    "readers share their stories</li></ol></aside></main><footer class=\"site-footer\"><p>"
    "Copyright 2024. All rights reserved. Terms of use, privacy policy and cookies. Material on "
    "this website may not be reproduced without permission.</p><form action=\"/search\" "
    "method=\"get\"><input type=\"text\" name=\"q\" placeholder=\"Search\"><button "
    "type=\"submit\">Search</button></form></footer></body></html>";

// How often a byte turns up in ordinary text, per thousand: English letter
// frequencies, and rough values for everything else.
double ByteOdds(unsigned char c) {
  static constexpr double kLetters[26] = {82, 15, 28, 43, 127, 22, 20, 61, 70, 2,  8, 40, 24,
                                          67, 75, 19, 1,  60,  63, 91, 28, 10, 24, 2, 20, 1};
  c = ToLowerAscii(c);
  if (c >= 'a' && c <= 'z') return kLetters[c - 'a'] / 1000.0;
  if (c >= '0' && c <= '9') return 0.01;
  if (std::strchr(" <>/=\".,-_:;'", c) != nullptr && c != '\0') return 0.05;
  if (c >= 0x80) return 0.005;
  return c < 0x20 ? 0.001 : 0.01;
}

int OccurrencesInPage(const unsigned char* s, std::size_t n) {
  const std::size_t page = sizeof kOrdinaryPage - 1;
  int found = 0;
  for (std::size_t i = 0; i + n <= page; ++i) {
    std::size_t k = 0;
    while (k < n && ToLowerAscii(static_cast<unsigned char>(kOrdinaryPage[i + k])) == s[k]) ++k;
    found += k == n;
  }
  return found;
}

// Smaller is rarer: the chance of the bytes by their single frequencies,
// made far worse for each time they occur in the sample page.
double Commonness(const unsigned char* s, std::size_t n) {
  double odds = 1.0;
  for (std::size_t i = 0; i < n; ++i) odds *= ByteOdds(s[i]);
  return odds * (1.0 + 1000.0 * OccurrencesInPage(s, n));
}

// The rarest run of fingerprint length in the key.
std::uint8_t FingerprintOffset(const std::string& key) {
  if (key.size() <= static_cast<std::size_t>(kFingerprintBytes)) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(key.data());
  std::size_t best = 0;
  double best_cost = Commonness(s, kFingerprintBytes);
  for (std::size_t o = 1; o + kFingerprintBytes <= key.size(); ++o) {
    const double c = Commonness(s + o, kFingerprintBytes);
    if (c < best_cost) best = o, best_cost = c;
  }
  return static_cast<std::uint8_t>(best);
}

// What a key costs the scan: how often its fingerprint turns up (each time a
// candidate to check), times how often the key itself does (each time the
// whole buffer is read word by word). A key's length plays no part: long
// words of everyday prose are not rarer for being long.
double KeyCost(const std::string& key) {
  const auto* s = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t window = std::min(key.size(), static_cast<std::size_t>(kFingerprintBytes));
  return Commonness(s + FingerprintOffset(key), window) *
         (1.0 + 1000.0 * OccurrencesInPage(s, key.size()));
}

bool Contains(const std::string& word, const std::string& key) {
  return word.find(key) != std::string::npos;
}

// The phrases a key clears: those with a word that contains the key.
std::vector<PhraseSet> Coverage(const std::vector<std::string>& words,
                                const std::vector<std::vector<std::uint16_t>>& phrases) {
  std::vector<PhraseSet> covers(words.size());
  for (std::size_t k = 0; k < words.size(); ++k) {
    for (std::size_t ph = 0; ph < phrases.size(); ++ph) {
      for (std::uint16_t w : phrases[ph]) {
        if (Contains(words[w], words[k])) covers[k].set(ph);
      }
    }
  }
  return covers;
}

// Greedy weighted set cover over the words as candidate keys, then every
// key that the others make unnecessary is dropped again, commonest first.
std::vector<std::size_t> ChooseKeys(const std::vector<std::string>& words,
                                    const std::vector<std::vector<std::uint16_t>>& phrases) {
  const std::vector<PhraseSet> covers = Coverage(words, phrases);
  std::vector<double> cost(words.size());
  for (std::size_t k = 0; k < words.size(); ++k) {
    cost[k] = KeyCost(words[k]);
  }
  PhraseSet all;
  for (std::size_t ph = 0; ph < phrases.size(); ++ph) all.set(ph);

  std::vector<std::size_t> chosen;
  PhraseSet covered;
  while (covered != all) {
    std::size_t best = words.size();
    double best_gain = 0;
    for (std::size_t k = 0; k < words.size(); ++k) {
      const double gain = static_cast<double>((covers[k] & ~covered).count()) / cost[k];
      if (gain > best_gain) best = k, best_gain = gain;
    }
    chosen.push_back(best);  // each phrase's own words cover it, so a best exists
    covered |= covers[best];
  }

  std::sort(chosen.begin(), chosen.end(),
            [&](std::size_t a, std::size_t b) { return cost[a] > cost[b]; });
  for (std::size_t i = 0; i < chosen.size();) {
    PhraseSet others;
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      if (j != i) others |= covers[chosen[j]];
    }
    if (others == all) {
      chosen.erase(chosen.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  return chosen;
}

}  // namespace

bool KeyPrefilter::Build(const std::vector<std::string>& words,
                         const std::vector<std::vector<std::uint16_t>>& phrases) {
  *this = KeyPrefilter();
  if (phrases.empty() || phrases.size() > kMaxPhrases) return false;
  const std::vector<std::size_t> chosen = ChooseKeys(words, phrases);
  if (chosen.size() > static_cast<std::size_t>(kMaxKeys)) return false;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const std::string& word = words[chosen[i]];
    if (word.empty() || word.size() > kMaxKeyBytes) return false;
    Key& key = keys_[i];
    std::memcpy(key.text, word.data(), word.size());
    key.length = static_cast<std::uint8_t>(word.size());
    key.offset = FingerprintOffset(word);
    key.bucket = static_cast<std::uint8_t>(i % kBuckets);
  }
  key_count_ = static_cast<int>(chosen.size());
  FillTables();
  return true;
}

// Each fingerprint byte admits its own value and, for a letter, the other
// case; past the end of a key shorter than a fingerprint every byte passes.
void KeyPrefilter::FillTables() {
  std::memset(&tables_, 0, sizeof tables_);
  for (int i = 0; i < key_count_; ++i) {
    const Key& key = keys_[i];
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << key.bucket);
    for (int k = 0; k < kFingerprintBytes; ++k) {
      if (k >= key.length) {
        for (int x = 0; x < 16; ++x) tables_.lo[k][x] |= bit, tables_.hi[k][x] |= bit;
        continue;
      }
      const unsigned char c = key.text[key.offset + k];
      tables_.lo[k][c & 15] |= bit;
      tables_.hi[k][c >> 4] |= bit;
      if (c >= 'a' && c <= 'z') tables_.hi[k][(c - 'a' + 'A') >> 4] |= bit;
    }
  }
}

std::vector<std::string> KeyPrefilter::keys() const {
  std::vector<std::string> out;
  for (int i = 0; i < key_count_; ++i) {
    out.emplace_back(reinterpret_cast<const char*>(keys_[i].text), keys_[i].length);
  }
  return out;
}

bool KeyPrefilter::KeyAt(const Key& key, const unsigned char* p, std::size_t n,
                         std::size_t start) const {
  if (start > n || n - start < key.length) return false;
  for (std::size_t k = 0; k < key.length; ++k) {
    if (ToLowerAscii(p[start + k]) != key.text[k]) return false;
  }
  return true;
}

// A candidate at q: the three bytes at q match the fingerprints of some
// buckets; one of their keys must lie around q for the candidate to hold.
bool KeyPrefilter::CandidateHolds(const unsigned char* p, std::size_t n, std::size_t q) const {
  const std::uint8_t buckets = BucketsAt(tables_, p + q);
  for (int i = 0; i < key_count_; ++i) {
    const Key& key = keys_[i];
    if ((buckets >> key.bucket & 1) != 0 && q >= key.offset && KeyAt(key, p, n, q - key.offset)) {
      return true;
    }
  }
  return false;
}

// Keys shorter than a fingerprint may also start in the last two positions,
// which hold no whole fingerprint and which the block scan leaves out.
bool KeyPrefilter::ShortKeyNear(const unsigned char* p, std::size_t n, std::size_t from) const {
  for (std::size_t q = from; q < n; ++q) {
    for (int i = 0; i < key_count_; ++i) {
      if (keys_[i].length < kFingerprintBytes && KeyAt(keys_[i], p, n, q)) return true;
    }
  }
  return false;
}

bool KeyPrefilter::AnyKey(const unsigned char* p, std::size_t n, SimdLevel level) const {
  const std::size_t whole = kFingerprintBytes - 1;
  if (n <= whole) return ShortKeyNear(p, n, 0);
  const std::size_t limit = n - whole;
  for (std::size_t from = 0; from < limit;) {
    CandidateBlock block;
    switch (level) {
#if defined(TARVEL_HAVE_AVX2)
      case SimdLevel::kAvx2:
        block = NextCandidatesAvx2(tables_, p, from, limit);
        break;
#endif
#if defined(TARVEL_HAVE_SSSE3)
      case SimdLevel::kSsse3:
        block = NextCandidatesSsse3(tables_, p, from, limit);
        break;
#endif
      default:
        block = NextCandidatesScalar(tables_, p, from, limit);
        break;
    }
    for (std::uint64_t m = block.mask; m != 0; m &= m - 1) {
      if (CandidateHolds(p, n, block.base + static_cast<std::size_t>(std::countr_zero(m)))) {
        return true;
      }
    }
    if (block.mask == 0) break;
    from = block.base + kBlockPositions;
  }
  return ShortKeyNear(p, n, limit);
}

}  // namespace tarvel
