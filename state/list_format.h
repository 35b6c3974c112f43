// The list-file format, once, for the module's loader and for tarvelctl.
//
// A list file is a flat run of 100-byte records with no other framing.
// Record 0 is the header: the 20 characters "TARVELINTERNETFILTER" and a NUL,
// then 79 bytes nobody reads. Record k >= 1 holds one entry text, up to its
// first NUL (a record without a NUL is a text of 100 characters). Bytes after
// the last whole record are ignored, and so are entry records after the
// first 2000: a list has 2000 slots.
#pragma once

#include <cstddef>
#include <cstring>

#include "state/filter_state.h"

namespace tarvel::list_format {

inline constexpr char kMagic[] = "TARVELINTERNETFILTER";
inline constexpr std::size_t kMagicBytes = sizeof kMagic - 1;
inline constexpr std::size_t kRecordBytes = kEntryBytes;
// The header test reads the magic and the NUL behind it.
inline constexpr std::size_t kHeaderTestBytes = kMagicBytes + 1;
// The loader takes at most this many entry records; further ones are ignored.
inline constexpr std::size_t kMaxLoadedEntries = kListSlots;
// The longest entry text a record (and a list slot) holds.
inline constexpr std::size_t kMaxEntryLength = kEntryBytes;

static_assert(kMagicBytes == 20);
static_assert(kRecordBytes == 100);

enum class HeaderState {
  kValid,
  kTooShort,    // fewer than 21 bytes
  kWrongMagic,  // the first 20 bytes are not the magic (case counts)
  kNoNul,       // the magic is followed by another byte than NUL
};

// The header test on the first `length` bytes of a file (`length` may be
// more than a record; only the first 21 bytes count).
inline HeaderState CheckHeader(const char* bytes, std::size_t length) {
  if (length < kHeaderTestBytes) return HeaderState::kTooShort;
  if (std::memcmp(bytes, kMagic, kMagicBytes) != 0) return HeaderState::kWrongMagic;
  if (bytes[kMagicBytes] != '\0') return HeaderState::kNoNul;
  return HeaderState::kValid;
}

}  // namespace tarvel::list_format
