#include "state/list_file.h"

#include "state/url_list.h"

namespace tarvel {
namespace {

constexpr std::uint32_t kRecordBytes = list_format::kRecordBytes;

// The list file of one load, closed on every way out of it.
class OpenFile {
 public:
  explicit OpenFile(ListFiles& files) : files_(files) {}
  ~OpenFile() {
    if (opened_) files_.Close(handle_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Opens the existing file. One that cannot be opened is never created in
  // its place: it was seen a moment ago, so it is held elsewhere or between
  // the two renames of a replace, and an empty list there would stand for
  // the real one. It counts as unreadable and is tried again later.
  bool Open(const char* path) {
    opened_ = OpenExistingListFile(files_, path, &handle_) == ListFileOpen::kOpened;
    return opened_;
  }
  ListFiles::Handle get() const { return handle_; }

 private:
  ListFiles& files_;
  ListFiles::Handle handle_ = nullptr;
  bool opened_ = false;
};

bool HeaderAccepted(const char (&header)[kRecordBytes], std::uint32_t length) {
  return list_format::CheckHeader(header, length) == list_format::HeaderState::kValid;
}

}  // namespace

ListFileOpen OpenExistingListFile(ListFiles& files, const char* path, ListFiles::Handle* file) {
  // Reading needs no write access, so the read-only attribute is tested on
  // its own: the rule that such a file is refused stays whoever loads it.
  if (files.ReadOnly(path)) return ListFileOpen::kReadOnly;
  return files.OpenExisting(path, file) ? ListFileOpen::kOpened : ListFileOpen::kNotOpened;
}

int LoadUrlListFile(FilterState& state, ListKind kind, SettingsStore& settings, ListFiles& files) {
  char path[settings::kTextBytes] = {};
  // A failed read leaves the path empty, and an empty path names no file.
  settings.ReadPath(kind == ListKind::kWhite ? settings::kWhiteListPath : settings::kBlackListPath,
                    path, sizeof path);
  if (path[0] == '\0' || !files.Exists(path)) return 0;

  OpenFile file(files);
  if (!file.Open(path)) return 0;
  char record[kRecordBytes] = {};
  if (!HeaderAccepted(record, files.ReadAt(file.get(), 0, record, sizeof record))) return 0;
  const std::int64_t size = files.Size(file.get());
  if (size < 0) return 0;
  const std::int64_t records = size / kRecordBytes;

  const MutableUrlList list = ListOf(state, kind);
  Store(*list.count, 0);
  for (std::int64_t k = 1; k < records && Load(*list.count) < kListSlots; ++k) {
    // A record that cannot be read whole means the file shrank under the
    // load: what follows is not in it any more.
    if (files.ReadAt(file.get(), k * kRecordBytes, record, sizeof record) != sizeof record) {
      break;
    }
    // A record is the text up to its NUL, at most all 100 bytes: exactly
    // what an addition stores, with the same order of stores.
    AddUrl(state, kind, record);
  }
  return 1;
}

}  // namespace tarvel
