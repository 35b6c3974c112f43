#include "state/category_file.h"

#include <algorithm>
#include <cstring>

namespace tarvel {
namespace {

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

std::uint64_t Fnv(std::uint64_t h, const unsigned char* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * kFnvPrime;
  return h;
}

// The layout of a file of `count` domains and `text_bytes` of text.
struct Layout {
  std::uint64_t fanout;
  std::uint64_t keys;
  std::uint64_t offsets;
  std::uint64_t text;
  std::uint64_t end;
};

Layout LayoutOf(std::uint64_t count, std::uint64_t text_bytes, std::uint32_t fanout_bits) {
  Layout l;
  l.fanout = sizeof(CategoryHeader);
  l.keys = l.fanout + (std::uint64_t{1} << fanout_bits) * sizeof(std::uint32_t);
  l.offsets = l.keys + count * sizeof(std::uint64_t);
  l.text = l.offsets + count * sizeof(std::uint32_t);
  l.end = l.text + text_bytes;
  return l;
}

bool NameAccepted(const char (&name)[kCategoryNameMax + 8]) {
  std::size_t n = 0;
  while (n < sizeof name && name[n] != '\0') {
    const char c = name[n];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
    ++n;
  }
  if (n == 0 || n > kCategoryNameMax) return false;
  for (std::size_t i = n; i < sizeof name; ++i) {
    if (name[i] != '\0') return false;
  }
  return true;
}

// Every entry lies in the text and its key is its text's, in fan-out order.
bool EntriesAccepted(const CategoryView& v, std::uint32_t text_bytes) {
  std::uint32_t before = 0;
  const std::size_t buckets = std::size_t{1} << (64 - v.fanout_shift);
  for (std::size_t bucket = 0; bucket < buckets; ++bucket) {
    if (v.fanout[bucket] < before || v.fanout[bucket] > v.count) return false;
    for (std::uint32_t i = before; i < v.fanout[bucket]; ++i) {
      if ((v.keys[i] >> v.fanout_shift) != bucket) return false;
      if (i > 0 && v.keys[i] < v.keys[i - 1]) return false;
      const std::uint32_t at = v.offsets[i];
      if (at >= text_bytes) return false;
      const std::uint32_t length = v.text[at];
      if (length == 0 || length > kCategoryDomainMax || length > text_bytes - at - 1) return false;
      if (CategoryKey(reinterpret_cast<const char*>(v.text + at + 1), length) != v.keys[i]) {
        return false;
      }
    }
    before = v.fanout[bucket];
  }
  return before == v.count;
}

}  // namespace

std::uint64_t CategoryKey(const char* domain, std::size_t length) {
  std::uint64_t h = Fnv(kFnvOffset, reinterpret_cast<const unsigned char*>(domain), length);
  // A finaliser (splitmix64's) spreads the bits into the top ones the fan-out uses.
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  h ^= h >> 31;
  return h;
}

std::uint64_t CategoryChecksum(const unsigned char* bytes, std::size_t size) {
  const std::size_t field = offsetof(CategoryHeader, checksum);
  if (size < field + sizeof(std::uint64_t)) return Fnv(kFnvOffset, bytes, size);
  const unsigned char zero[sizeof(std::uint64_t)] = {};
  std::uint64_t h = Fnv(kFnvOffset, bytes, field);
  h = Fnv(h, zero, sizeof zero);
  const std::size_t after = field + sizeof(std::uint64_t);
  return Fnv(h, bytes + after, size - after);
}

CategoryView OpenCategoryFile(const void* bytes, std::size_t size, std::string* reason) {
  CategoryView refused;
  const auto* base = static_cast<const unsigned char*>(bytes);
  const auto fail = [&](const char* why) {
    if (reason != nullptr) *reason = why;
    return refused;
  };
  if (bytes == nullptr || size < sizeof(CategoryHeader)) return fail("shorter than its header");
  if (reinterpret_cast<std::uintptr_t>(bytes) % alignof(std::uint64_t) != 0) {
    return fail("not aligned");
  }
  const auto* header = static_cast<const CategoryHeader*>(bytes);
  if (std::memcmp(header->magic, kCategoryMagic, sizeof kCategoryMagic) != 0) {
    return fail("not a category file");
  }
  if (header->version != kCategoryVersion || header->header_bytes != sizeof(CategoryHeader)) {
    return fail("a format version this filter does not read");
  }
  if (!NameAccepted(header->name)) return fail("its name is not a category name");
  if (header->fanout_bits < kCategoryFanoutBitsMin ||
      header->fanout_bits > kCategoryFanoutBitsMax) {
    return fail("its index is not one this filter reads");
  }
  const Layout l = LayoutOf(header->count, header->text_bytes, header->fanout_bits);
  if (header->file_bytes != size || l.end != size) return fail("its size is not what it says");
  if (CategoryChecksum(base, size) != header->checksum) return fail("its checksum is wrong");
  CategoryView v;
  v.header = header;
  v.count = header->count;
  v.fanout_shift = 64 - header->fanout_bits;
  v.fanout = reinterpret_cast<const std::uint32_t*>(base + l.fanout);
  v.keys = reinterpret_cast<const std::uint64_t*>(base + l.keys);
  v.offsets = reinterpret_cast<const std::uint32_t*>(base + l.offsets);
  v.text = base + l.text;
  if (!EntriesAccepted(v, header->text_bytes)) return fail("its entries are damaged");
  if (reason != nullptr) reason->clear();
  return v;
}

std::vector<unsigned char> BuildCategoryFile(const std::string& name,
                                             const std::vector<std::string>& domains) {
  std::vector<std::pair<std::uint64_t, const std::string*>> entries;
  entries.reserve(domains.size());
  std::uint64_t text_bytes = 0;
  for (const std::string& d : domains) {
    entries.push_back({CategoryKey(d.data(), d.size()), &d});
    text_bytes += 1 + d.size();
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : *a.second < *b.second;
  });
  // About 8 keys a bucket: a few steps of the binary search, a small table.
  std::uint32_t bits = kCategoryFanoutBitsMin;
  while (bits < kCategoryFanoutBitsMax && (std::uint64_t{8} << bits) < entries.size()) ++bits;
  const Layout l = LayoutOf(entries.size(), text_bytes, bits);
  std::vector<unsigned char> file(l.end, 0);
  CategoryHeader header = {};
  std::memcpy(header.magic, kCategoryMagic, sizeof kCategoryMagic);
  header.version = kCategoryVersion;
  header.header_bytes = sizeof(CategoryHeader);
  name.copy(header.name, std::min(name.size(), kCategoryNameMax));
  header.count = static_cast<std::uint32_t>(entries.size());
  header.text_bytes = static_cast<std::uint32_t>(text_bytes);
  header.file_bytes = l.end;
  header.fanout_bits = bits;
  std::vector<std::uint32_t> fanout(std::size_t{1} << bits, 0);
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& d = *entries[i].second;
    ++fanout[entries[i].first >> (64 - bits)];
    const std::uint64_t key = entries[i].first;
    const std::uint32_t offset = static_cast<std::uint32_t>(at);
    std::memcpy(file.data() + l.keys + i * sizeof key, &key, sizeof key);
    std::memcpy(file.data() + l.offsets + i * sizeof offset, &offset, sizeof offset);
    file[l.text + at] = static_cast<unsigned char>(d.size());
    std::memcpy(file.data() + l.text + at + 1, d.data(), d.size());
    at += 1 + d.size();
  }
  std::uint32_t running = 0;
  for (std::size_t b = 0; b < fanout.size(); ++b) {
    running += fanout[b];
    std::memcpy(file.data() + l.fanout + b * sizeof running, &running, sizeof running);
  }
  std::memcpy(file.data(), &header, sizeof header);
  header.checksum = CategoryChecksum(file.data(), file.size());
  std::memcpy(file.data(), &header, sizeof header);
  return file;
}

std::string CategoryDomain(const CategoryView& view, std::uint32_t index) {
  const unsigned char* at = view.text + view.offsets[index];
  return std::string(reinterpret_cast<const char*>(at + 1), at[0]);
}

}  // namespace tarvel
