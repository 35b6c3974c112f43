#include "tools/tarvelctl/list_file.h"

#include <algorithm>

namespace tarvel::ctl {

ListFile ParseListFile(std::string_view bytes) {
  ListFile list;
  list.header_record = std::string(bytes.substr(0, kRecordBytes));
  list.header = list_format::CheckHeader(bytes.data(), bytes.size());
  if (list.header != HeaderState::kValid) return list;

  const std::size_t records = bytes.size() / kRecordBytes;
  // A file shorter than one record is a short header, not a partial record.
  list.trailing_bytes = records == 0 ? 0 : bytes.size() % kRecordBytes;
  for (std::size_t k = 1; k < records; ++k) {
    const std::string_view record = bytes.substr(k * kRecordBytes, kRecordBytes);
    list.entries.emplace_back(record.substr(0, record.find('\0')));
  }
  return list;
}

ListFile NewListFile() {
  ListFile list;
  list.header_record = std::string(kListMagic);
  return list;
}

std::string SerializeListFile(const ListFile& list) {
  std::string out(kRecordBytes * (1 + list.entries.size()), '\0');
  // The filter never looks past the NUL behind the magic; whatever a foreign
  // writer left in the rest of the header record stays.
  const std::size_t keep = std::min(list.header_record.size(), kRecordBytes);
  if (keep > kHeaderTestBytes) {
    out.replace(kHeaderTestBytes, keep - kHeaderTestBytes,
                list.header_record.substr(kHeaderTestBytes, keep - kHeaderTestBytes));
  }
  out.replace(0, kListMagic.size(), kListMagic);
  out[kListMagic.size()] = '\0';
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    const std::string& text = list.entries[i];
    out.replace((i + 1) * kRecordBytes, std::min(text.size(), kRecordBytes), text, 0,
                std::min(text.size(), kRecordBytes));
  }
  return out;
}

std::string DescribeHeader(HeaderState state) {
  switch (state) {
    case HeaderState::kValid:
      return "valid header";
    case HeaderState::kTooShort:
      return "too short for a header: a list file starts with the 20 characters " +
             std::string(kListMagic) + " and a NUL byte";
    case HeaderState::kWrongMagic:
      return "no header: the file does not start with " + std::string(kListMagic) + " (upper case)";
    case HeaderState::kNoNul:
      return "damaged header: " + std::string(kListMagic) + " is not followed by a NUL byte";
  }
  return "unknown header state";
}

}  // namespace tarvel::ctl
