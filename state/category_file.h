// The compiled category file: one named set of domains, immutable, mapped
// read-only by every process that filters. It holds no pointers: a header,
// a fan-out table over the top bits of the sorted 64-bit keys, the keys,
// each key's offset into the text, and the text (each domain a length byte
// and its folded bytes). Every size, offset and the checksum are checked
// when it is opened; a file that fails any check is refused whole.
//
// One definition for the DLL, tarvelctl and the tests; the layout is pinned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvel {

inline constexpr char kCategoryMagic[8] = {'T', 'V', 'C', 'A', 'T', 'E', 'G', '1'};
inline constexpr std::uint32_t kCategoryVersion = 1;
inline constexpr std::size_t kCategoryNameMax = 32;
// The fan-out table indexes the keys' top 8 to 16 bits, by the count.
inline constexpr std::uint32_t kCategoryFanoutBitsMin = 8;
inline constexpr std::uint32_t kCategoryFanoutBitsMax = 16;
// The longest domain a category keeps (a host name's limit).
inline constexpr std::size_t kCategoryDomainMax = 253;

struct CategoryHeader {
  char magic[8];
  std::uint32_t version;
  std::uint32_t header_bytes;       // sizeof(CategoryHeader)
  char name[kCategoryNameMax + 8];  // NUL-terminated, NUL-padded
  std::uint32_t count;              // domains
  std::uint32_t text_bytes;
  std::uint64_t file_bytes;   // the whole file
  std::uint64_t checksum;     // CategoryChecksum of the file
  std::uint32_t fanout_bits;  // the fan-out table has 2^fanout_bits counts
  std::uint8_t reserved[44];
};

static_assert(sizeof(CategoryHeader) == 128);
static_assert(offsetof(CategoryHeader, version) == 8);
static_assert(offsetof(CategoryHeader, name) == 16);
static_assert(offsetof(CategoryHeader, count) == 56);
static_assert(offsetof(CategoryHeader, text_bytes) == 60);
static_assert(offsetof(CategoryHeader, file_bytes) == 64);
static_assert(offsetof(CategoryHeader, checksum) == 72);
static_assert(offsetof(CategoryHeader, fanout_bits) == 80);

// The key of a folded domain: 64 bits, well spread in the top ones.
std::uint64_t CategoryKey(const char* domain, std::size_t length);

// FNV-1a over the file's bytes, the checksum field counted as zero.
std::uint64_t CategoryChecksum(const unsigned char* bytes, std::size_t size);

// An opened, checked file, read in place.
struct CategoryView {
  const CategoryHeader* header = nullptr;
  const std::uint32_t* fanout = nullptr;   // 2^fanout_bits cumulative counts
  std::uint32_t fanout_shift = 64;         // a key's bucket is key >> fanout_shift
  const std::uint64_t* keys = nullptr;     // `count`, ascending
  const std::uint32_t* offsets = nullptr;  // `count`, into `text`
  const unsigned char* text = nullptr;
  std::uint32_t count = 0;
  bool valid() const { return header != nullptr; }
};

// Checks the bytes (8-byte aligned) and gives a view of them; an invalid
// view and the reason ("" on success; `reason` may be null, and then
// nothing is allocated) when any check fails. Reads only `bytes[0..size)`;
// takes time in proportion to the size.
CategoryView OpenCategoryFile(const void* bytes, std::size_t size, std::string* reason);

// The file holding `domains` (folded, valid, each once, none under another
// of them: as CleanCategoryDomains leaves them) under `name`.
std::vector<unsigned char> BuildCategoryFile(const std::string& name,
                                             const std::vector<std::string>& domains);

// The domain of entry `index` of an open file.
std::string CategoryDomain(const CategoryView& view, std::uint32_t index);

}  // namespace tarvel
