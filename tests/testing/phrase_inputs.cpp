#include "tests/testing/phrase_inputs.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include "filter/ascii.h"
#include "filter/phrase_matcher.h"

namespace tarvel::testing {
namespace {

std::size_t Pick(Rng& rng, std::size_t n) {
  return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
}
bool OneIn(Rng& rng, std::size_t n) { return Pick(rng, n) == 0; }

char FlipCase(char c) {
  const auto u = static_cast<unsigned char>(c);
  if ((u | 0x20) >= 'a' && (u | 0x20) <= 'z') return static_cast<char>(u ^ 0x20);
  return c;
}

// Random letter case; now and then one byte flipped in bit 5 (for a letter
// that is just the other case, for '-' it is a carriage return) or the word
// cut short.
std::string Mutate(Rng& rng, std::string word) {
  for (char& c : word) {
    if (OneIn(rng, 2)) c = FlipCase(c);
  }
  if (!word.empty() && OneIn(rng, 8)) word[Pick(rng, word.size())] ^= 0x20;
  if (word.size() > 1 && OneIn(rng, 8)) word.resize(1 + Pick(rng, word.size() - 1));
  return word;
}

void WriteAt(std::string& out, std::size_t pos, const std::string& word) {
  for (std::size_t k = 0; k < word.size() && pos + k < out.size(); ++k) out[pos + k] = word[k];
}

void MixIn(Rng& rng, std::string& out, const std::vector<std::string>& words) {
  if (words.empty() || out.empty()) return;
  const std::size_t inserts = Pick(rng, 13);
  for (std::size_t k = 0; k < inserts; ++k) {
    WriteAt(out, Pick(rng, out.size() + 1), Mutate(rng, words[Pick(rng, words.size())]));
  }
  // A word that ends exactly at the last byte, or one byte before it.
  if (OneIn(rng, 3)) {
    const std::string w = Mutate(rng, words[Pick(rng, words.size())]);
    const std::size_t tail = w.size() + (OneIn(rng, 2) ? 0 : 1);
    if (tail <= out.size()) WriteAt(out, out.size() - tail, w);
  }
}

const char kSpaces[] = " \t\n\v\f\r";

std::string RandomWord(Rng& rng, const TableShape& shape) {
  static const char kOdd[] = {'@', '[', '`', '{', '-', '\x80', '\xc1', '\xe1', '\x01'};
  std::string w(1 + Pick(rng, static_cast<std::size_t>(shape.max_word_bytes)), 'a');
  for (char& c : w) {
    if (shape.odd_bytes && OneIn(rng, 6)) {
      c = kOdd[Pick(rng, sizeof kOdd)];
    } else {
      c = static_cast<char>('a' + Pick(rng, static_cast<std::size_t>(shape.alphabet)));
      if (OneIn(rng, 3)) c = FlipCase(c);
    }
  }
  return w;
}

std::string RandomSlotText(Rng& rng, const TableShape& shape) {
  if (OneIn(rng, 30)) {  // 50 bytes of one word, no NUL
    std::string w;
    while (w.size() < kPhraseSlotBytes) w += RandomWord(rng, shape);
    return w.substr(0, kPhraseSlotBytes);
  }
  std::string text;
  if (OneIn(rng, 5)) text += kSpaces[Pick(rng, 6)];
  const std::size_t words = 1 + Pick(rng, 6);
  for (std::size_t w = 0; w < words; ++w) {
    if (w > 0) {
      text += kSpaces[Pick(rng, 6)];
      if (OneIn(rng, 4)) text += kSpaces[Pick(rng, 6)];
    }
    text += RandomWord(rng, shape);
  }
  if (OneIn(rng, 5)) text += ' ';
  return text.substr(0, kPhraseSlotBytes);
}

}  // namespace

std::vector<std::string> TableWords(const FilterState& state) {
  std::set<std::string> words;
  const int used = std::min(state.phrase_count, kPhraseSlots);
  for (int k = 0; k < used; ++k) {
    const SlotWords split = SplitSlot(state.phrases[k]);
    for (int w = 0; w < split.count; ++w) {
      std::string word(split.word[w].text, static_cast<std::size_t>(split.word[w].length));
      for (char& c : word) c = ToLowerAscii(c);
      words.insert(word);
    }
  }
  return {words.begin(), words.end()};
}

std::string WordMix(Rng& rng, std::size_t length, const std::vector<std::string>& words) {
  static const char kFiller[] = "etaoinshrdlucmfwypvbgkjqxz  <>/=\"-.,\r\n\t@[`{\x80\xc1";
  std::string out(length, ' ');
  for (char& c : out) {
    c = OneIn(rng, 40) ? '\0' : kFiller[Pick(rng, sizeof kFiller - 1)];
    if (OneIn(rng, 4)) c = FlipCase(c);
  }
  MixIn(rng, out, words);
  return out;
}

void WriteRandomTable(Rng& rng, const TableShape& shape, FilterState& state) {
  std::memset(state.phrases, 0, sizeof state.phrases);
  const int slots = std::clamp(shape.slots, 0, kPhraseSlots);
  for (int k = 0; k < slots; ++k) {
    const std::string text = RandomSlotText(rng, shape);
    std::memcpy(state.phrases[k], text.data(), text.size());
  }
  if (shape.wordless_slot && slots > 0) {
    char(&slot)[kPhraseSlotBytes] = state.phrases[Pick(rng, static_cast<std::size_t>(slots))];
    std::memset(slot, 0, sizeof slot);
    std::memset(slot, ' ', 3);
  }
  state.phrase_count = slots;
  if (slots == kPhraseSlots && OneIn(rng, 5))
    state.phrase_count += 1 + static_cast<int>(Pick(rng, 100));
}

std::string TableMix(Rng& rng, std::size_t length, const FilterState& state) {
  const std::vector<std::string> words = TableWords(state);
  std::string alphabet;
  for (const std::string& w : words) {
    for (char c : w) {
      alphabet += c;
      alphabet += static_cast<char>(c ^ 0x20);
    }
  }
  if (alphabet.empty()) alphabet.push_back('a');
  // Mostly bytes of no word, so that a phrase is there only sometimes.
  static const char kOther[] = {' ', '\t', '\r', '\0', '.', '#', '~', '\x7f', '\xfe'};
  const std::size_t density = 1 + Pick(rng, 8);
  std::string out(length, ' ');
  for (char& c : out) {
    c = Pick(rng, 8) < density ? alphabet[Pick(rng, alphabet.size())]
                               : kOther[Pick(rng, sizeof kOther)];
  }
  MixIn(rng, out, words);
  return out;
}

std::string OrdinaryPage(std::size_t length, std::uint32_t seed) {
  // Everyday words of web pages, blank-separated.
  static const std::vector<std::string> kProse = [] {
    static const char kWords[] =
        "the of and to in for is on that by this with you it not or be are from at as your all "
        "have new more about home page search free information time site news use contact "
        "business online first services click price date back people list name state year day "
        "email health world next work last products music data make policy number please "
        "available copyright support message best software video rights public books school "
        "links review order privacy company read group user general research university program "
        "life games management great hotel international center store travel comments report "
        "member details terms local results office education national design posted internet "
        "address community phone shipping reserved forum family code show black check special "
        "website index file open today technology project version section sports house related "
        "security county photo members power network computer download access resources current "
        "media history pictures guide shop directory board location change white small "
        "government children students account digital profile events main image department "
        "title description property class money quality content country visit tools customer "
        "compare movies college article card jobs food source author press learn course room "
        "stock training credit science categories team estate select windows photos thread week "
        "category live large gallery table register market library action start series model "
        "features industry plan hot cost movie forums questions medical friend server study "
        "application staff articles feedback play users street topic financial standard mobile "
        "blog party payment login student legal recent park problem memory social story options "
        "create young important field paper single activities club example girls password "
        "latest question night hard status browse range building court result audio light offer "
        "blue easy event release analysis request picture professional month star future space "
        "committee million reference popular film stories journal welcome central images "
        "president notice original radio color council track discussion archive entertainment "
        "agreement society safety friends trade edition marketing updated association green "
        "collection short arts display director daily beach weather land average technical "
        "region record conference environment district calendar style front statement update "
        "document material tickets centre kids finance minutes rock gifts europe reading topics "
        "tips together videos function global player projects subscribe submit watch thanks "
        "town heart advertising newsletter magazine error camera girl construction domain "
        "chapter protection beauty manager position simple quick wireless license friday lake "
        "annual published basic church method purchase active practice hardware fire holiday "
        "chat writing speed html countries brand discount created standards political kingdom "
        "storage nature summary growth notes agency monday activity copy income cash river "
        "commission package album players engine exchange season menu analytics photography "
        "updates scientific satellite coffee settings architecture dictionary manufacturing";
    std::vector<std::string> words;
    std::istringstream in(kWords);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
  }();
  static const char* const kMarkup[] = {
      "<div class=\"", "\">",
      "</div>",        "<p>",
      "</p>",          "<a href=\"/",
      "</a>",          "<li>",
      "</li>",         "<span class=\"meta\">",
      "</span>",       "<img src=\"/img/",
      ".jpg\" alt=\"", "<h2>",
      "</h2>",         "<script>var cfg = {\"id\": 42, \"lazy\": true};</script>",
      "&nbsp;",        "&amp;",
      "\r\n",          "<!-- ad slot -->",
      "<td>",          "</td>",
      "<tr>",          "</tr>",
      "<br/>",         "<input type=\"text\">"};
  Rng rng(seed);
  std::string page =
      "<!DOCTYPE html>\r\n<html><head><meta charset=\"utf-8\"><title>Daily news</title></head>"
      "<body>\r\n";
  while (page.size() < length) {
    if (OneIn(rng, 3)) {
      page += kMarkup[Pick(rng, std::size(kMarkup))];
    } else {
      std::string word = kProse[Pick(rng, kProse.size())];
      if (OneIn(rng, 8)) word[0] = static_cast<char>(ToLowerAscii(word[0]) - 'a' + 'A');
      page += word;
      page += OneIn(rng, 12) ? ". " : " ";
    }
  }
  page.resize(length);
  return page;
}

}  // namespace tarvel::testing
