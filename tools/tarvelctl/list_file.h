// The list file as tarvel.dll reads it: a header record, then entry records
// of 100 bytes each, with no other framing. This is the writer's side of that
// contract: parsing a file the way the filter will, and producing files the
// filter accepts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "state/list_format.h"

namespace tarvel::ctl {

inline constexpr std::string_view kListMagic = list_format::kMagic;
using list_format::HeaderState;
using list_format::kHeaderTestBytes;
using list_format::kMaxLoadedEntries;
using list_format::kRecordBytes;

// A list file as the filter sees it.
struct ListFile {
  HeaderState header = HeaderState::kValid;
  // The header record as stored (up to 100 bytes); its bytes 21 to 99 are
  // not examined by the filter and are kept as they are on rewrite.
  std::string header_record;
  // Every whole entry record's text: its bytes up to the first NUL (all 100
  // when it holds none). Entries past kMaxLoadedEntries are kept here too.
  std::vector<std::string> entries;
  // Bytes after the last whole record; the filter ignores them.
  std::size_t trailing_bytes = 0;

  std::size_t LoadedCount() const {
    return entries.size() < kMaxLoadedEntries ? entries.size() : kMaxLoadedEntries;
  }
};

// Reads `bytes` the way the filter does. The entries are filled only when
// the header is valid.
ListFile ParseListFile(std::string_view bytes);

// A new list: the header record alone (100 bytes).
ListFile NewListFile();

// The file bytes of `list`: the header record padded to 100 bytes with the
// magic and its NUL in front, then one record per entry, NUL-padded. Trailing
// bytes of a parsed file are dropped. Each entry must hold at most 100 bytes.
std::string SerializeListFile(const ListFile& list);

// Text for the header states other than kValid, e.g. "no header: the file
// does not start with TARVELINTERNETFILTER".
std::string DescribeHeader(HeaderState state);

}  // namespace tarvel::ctl
