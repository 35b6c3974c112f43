// MatchUrlList against the pattern-per-slot reference; aborts on the first
// disagreement.
//
// Input: a byte choosing the list (bit 0: white) and a count byte (read as
// signed, scaled by 4 so that counts past the list occur), then the host up
// to the first newline (cut at a NUL and at 99 bytes), then newline-separated
// entries, each cut to 100 bytes; an entry that starts with '!' gets the
// flag 2 (inactive), one that starts with '~' the flag 0.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "filter/url_list_index.h"
#include "filter/url_match.h"
#include "tests/testing/url_match_plain.h"

namespace {

using tarvel::FilterState;
using tarvel::ListKind;

struct Line {
  const std::uint8_t* text;
  std::size_t length;
};

// The next newline-ended piece of data[at..size), without its newline.
Line NextLine(const std::uint8_t* data, std::size_t size, std::size_t& at) {
  const Line line{data + at, 0};
  const void* nl = std::memchr(line.text, '\n', size - at);
  const std::size_t length = nl ? static_cast<const std::uint8_t*>(nl) - line.text : size - at;
  at += length + (nl ? 1 : 0);
  return {line.text, length};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > (1u << 18)) return 0;
  const ListKind kind = (data[0] & 1) ? ListKind::kWhite : ListKind::kBlack;
  // One block for all inputs; only the slots the last input wrote are cleared.
  static FilterState* const state = new FilterState();
  static int written = 0;
  for (ListKind k : {ListKind::kWhite, ListKind::kBlack}) {
    const tarvel::MutableUrlList l = tarvel::ListOf(*state, k);
    std::memset(l.entries, 0, sizeof l.entries[0] * written);
    std::memset(l.active, 0, sizeof l.active[0] * written);
    *l.count = 0;
  }
  const tarvel::MutableUrlList list = tarvel::ListOf(*state, kind);

  std::size_t at = 2;
  const Line host_line = NextLine(data, size, at);
  tarvel::Host host{};
  while (host.length < host_line.length && host.length < tarvel::kHostMax &&
         host_line.text[host.length] != 0) {
    host.text[host.length] = static_cast<char>(host_line.text[host.length]);
    ++host.length;
  }

  int slots = 0;
  for (; at < size && slots < tarvel::kListSlots; ++slots) {
    const Line entry = NextLine(data, size, at);
    std::memcpy(list.entries[slots], entry.text,
                entry.length < tarvel::kEntryBytes ? entry.length : tarvel::kEntryBytes);
    const std::uint8_t first = entry.length > 0 ? entry.text[0] : 0;
    list.active[slots] = first == '!' ? 2 : first == '~' ? 0 : 1;
  }
  written = slots;
  *list.count = data[1] == 0 ? slots : static_cast<std::int8_t>(data[1]) * 4;
  // The slots were rewritten in place, as no addition or removal does.
  tarvel::ForgetUrlListIndexes();

  if (tarvel::MatchUrlList(tarvel::ListOf(*state, kind), host) !=
      tarvel::testing::MatchUrlListPlain(tarvel::ListOf(*state, kind), host)) {
    std::abort();
  }
  return 0;
}
