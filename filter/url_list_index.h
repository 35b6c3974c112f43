// A per-process index over a URL list that answers most non-matching hosts
// without reading the list's slots.
//
// It relies on how the shared lists change: a slot is taken at [count] and
// its flag set to 1 once its text is whole; a removal turns the flag from 1
// to 0 and then clears the text; slots are never reused. So the count tells
// which slots are new, and a slot whose flag was 1 when it was indexed can
// only stop matching. The index keeps the folded first 4 bytes of each such
// slot; the slots it cannot answer for (texts shorter than 4 bytes, a '*' or
// '?' among the first 4, flags other than 1 when indexed) are tested on
// every call.
#pragma once

#include <cstddef>

#include "state/filter_state.h"

namespace tarvel {

// Tests slot `slot` of the list by the list's own rule (flag exactly 1,
// text matching the host); `context` is what the caller passed along.
using SlotTest = bool (*)(const void* context, int slot);

enum class IndexAnswer { kNoMatch, kMatch, kAskTheList };

// Answers for `list` and the folded host text `host[0..length)`: kMatch when
// `test` accepted a slot, kNoMatch when no slot below the count read at the
// start can match, kAskTheList when the index cannot tell this time (another
// thread is extending it, or too many slots share the host's 4-byte pieces):
// the caller then scans the whole list. Takes no lock and never waits;
// allocates nothing.
IndexAnswer AskUrlListIndex(const UrlList& list, const char* host, std::size_t length,
                            SlotTest test, const void* context);

// Drops every index of this process. Needed only when slots were rewritten
// other than by adding and removing entries: a new block at an address an
// old one had, or a test that writes slots in place. Not for use while
// another thread asks an index.
void ForgetUrlListIndexes();

}  // namespace tarvel
