// The ClientHello is read as servers read it, but leniently: only the
// lengths are checked, each against the one enclosing it, never a field's
// value (a session id over 32 bytes, an odd cipher suite length, an empty
// record). A hello that a server refuses names nothing that could be
// reached, but one that it takes must never give another name here.
//
// Two readers give the same answers. Nearly every hello is one record and
// its name lies early in it: the first reader walks that record with plain
// offsets and hands over to the second, which follows the handshake message
// over any number of records byte by byte, whenever it needs a byte beyond
// the first record's fragment.
#include "filter/tls_hello.h"

#include <cstdint>
#include <cstring>

namespace tarvel {
namespace {

constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kRecordMajor = 3;
constexpr unsigned char kClientHello = 1;
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kServerNameExtension = 0;
constexpr std::size_t kHostNameType = 0;
constexpr std::size_t kVersionAndRandom = 2 + 32;
constexpr std::size_t kNoLimit = SIZE_MAX;

bool IsW(char c) { return c == 'w' || c == 'W'; }

// The host of a name whose first bytes are `head` (at least the 103 that a
// "www." and 99 characters take, or all of it), `length` bytes long up to
// its first zero byte, the last of them `last`.
void SetHost(const char* head, std::size_t length, unsigned last, Host& host) {
  if (length > 0 && last == '.') --length;
  std::size_t start = 0;
  if (length >= 4 && IsW(head[0]) && IsW(head[1]) && IsW(head[2]) && head[3] == '.') start = 4;
  const std::size_t count = length - start < kHostMax ? length - start : kHostMax;
  std::memcpy(host.text, head + start, count);
  host.text[count] = '\0';
  host.length = count;
}

// The host of a name of `n` bytes that lie together at `name`.
void SetHostFrom(const unsigned char* name, std::size_t n, Host& host) {
  const void* zero = std::memchr(name, 0, n);
  const std::size_t length =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(zero) - name)
                      : n;
  SetHost(reinterpret_cast<const char*>(name), length, length > 0 ? name[length - 1] : 0, host);
}

// --- The first record, read in place ----------------------------------------------

enum class Reading { kDone, kBeyond };

// Offsets into the buffer; `end` is where the first record's fragment ends
// in it. A limit is where a length announced that a run ends, and may lie
// past `end`: a run that overruns its limit ends the reading with no name
// (kDone), one that needs a byte past `end` hands over (kBeyond).
class FirstRecord {
 public:
  FirstRecord(const unsigned char* data, std::size_t len) : data_(data) {
    const std::size_t fragment = std::size_t{data[3]} << 8 | data[4];
    end_ = len - kRecordHeader < fragment ? len : kRecordHeader + fragment;
  }

  std::size_t at() const { return at_; }
  bool beyond() const { return beyond_; }

  // A big-endian number of `bytes` bytes that must end by `limit`.
  bool Number(std::size_t bytes, std::size_t limit, std::size_t& out) {
    if (!Fits(bytes, limit) || !Held(bytes)) return false;
    out = 0;
    for (std::size_t i = 0; i < bytes; ++i) out = out << 8 | data_[at_ + i];
    at_ += bytes;
    return true;
  }
  // A length of `bytes` bytes and the limit of the run it announces.
  bool Open(std::size_t bytes, std::size_t limit, std::size_t& run_limit) {
    std::size_t length = 0;
    if (!Number(bytes, limit, length) || !Fits(length, limit)) return false;
    run_limit = at_ + length;
    return true;
  }
  bool Skip(std::size_t n, std::size_t limit) {
    if (!Fits(n, limit) || !Held(n)) return false;
    at_ += n;
    return true;
  }
  bool SkipVector(std::size_t bytes, std::size_t limit) {
    std::size_t run_limit = 0;
    return Open(bytes, limit, run_limit) && Skip(run_limit - at_, run_limit);
  }
  const unsigned char* Here() const { return data_ + at_; }

 private:
  bool Fits(std::size_t n, std::size_t limit) const { return at_ <= limit && n <= limit - at_; }
  bool Held(std::size_t n) {
    beyond_ = n > end_ - at_;
    return !beyond_;
  }

  const unsigned char* data_;
  std::size_t end_;
  std::size_t at_ = kRecordHeader;
  bool beyond_ = false;
};

// The server_name extension's body, from the first record.
Reading ListInFirstRecord(FirstRecord& r, std::size_t extension_limit, Host& host) {
  std::size_t list_limit = 0;
  if (!r.Open(2, extension_limit, list_limit))
    return r.beyond() ? Reading::kBeyond : Reading::kDone;
  while (r.at() < list_limit) {
    std::size_t type = 0;
    std::size_t name_limit = 0;
    if (!r.Number(1, list_limit, type) || !r.Open(2, list_limit, name_limit)) break;
    const unsigned char* name = r.Here();
    if (!r.Skip(name_limit - r.at(), name_limit)) break;
    if (type == kHostNameType) {
      SetHostFrom(name, static_cast<std::size_t>(r.Here() - name), host);
      return Reading::kDone;
    }
  }
  return r.beyond() ? Reading::kBeyond : Reading::kDone;
}

Reading FirstRecordName(const unsigned char* data, std::size_t len, Host& host) {
  FirstRecord r(data, len);
  std::size_t type = 0;
  std::size_t hello_limit = 0;
  std::size_t extensions_limit = 0;
  bool ok = r.Number(1, kNoLimit, type) && type == kClientHello &&
            r.Open(3, kNoLimit, hello_limit) && r.Skip(kVersionAndRandom, hello_limit) &&
            r.SkipVector(1, hello_limit) && r.SkipVector(2, hello_limit) &&
            r.SkipVector(1, hello_limit) && r.Open(2, hello_limit, extensions_limit);
  while (ok && r.at() < extensions_limit) {
    std::size_t extension = 0;
    std::size_t extension_limit = 0;
    ok = r.Number(2, extensions_limit, extension) && r.Open(2, extensions_limit, extension_limit);
    if (ok && extension == kServerNameExtension) {
      return ListInFirstRecord(r, extension_limit, host);
    }
    ok = ok && r.Skip(extension_limit - r.at(), extension_limit);
  }
  return r.beyond() ? Reading::kBeyond : Reading::kDone;
}

// --- The handshake message over any records ---------------------------------------

// The handshake message as one run of bytes: the fragments of the handshake
// records that follow one another in the buffer, their headers passed over.
class HandshakeReader {
 public:
  HandshakeReader(const unsigned char* data, std::size_t len) : data_(data), len_(len) {}

  // Handshake bytes read so far.
  std::size_t offset() const { return offset_; }

  // Whether `n` more bytes end by `end`, a handshake offset.
  bool Fits(std::size_t n, std::size_t end) const { return offset_ <= end && n <= end - offset_; }

  // False at the end of the buffer, or where the next record is not a
  // handshake record or its header is cut off.
  bool Byte(unsigned& out) {
    if (!Available()) return false;
    out = data_[at_];
    Advance(1);
    return true;
  }

  bool Skip(std::size_t n) {
    while (n > 0) {
      if (!Available()) return false;
      std::size_t step = n < left_ ? n : left_;
      if (step > len_ - at_) step = len_ - at_;
      Advance(step);
      n -= step;
    }
    return true;
  }

 private:
  // At least one byte of the current fragment is in the buffer. Empty
  // records are passed over; each costs its header, so the loop ends.
  bool Available() {
    while (left_ == 0) {
      if (len_ - at_ < kRecordHeader || data_[at_] != kHandshakeRecord) return false;
      left_ = std::size_t{data_[at_ + 3]} << 8 | data_[at_ + 4];
      at_ += kRecordHeader;
    }
    return at_ < len_;
  }

  void Advance(std::size_t n) {
    at_ += n;
    left_ -= n;
    offset_ += n;
  }

  const unsigned char* data_;
  std::size_t len_;
  std::size_t at_ = 0;      // next byte of the buffer
  std::size_t left_ = 0;    // bytes of the current record's fragment not yet read
  std::size_t offset_ = 0;  // handshake bytes read
};

// A big-endian number of `bytes` bytes that ends by `end`.
bool ReadNumber(HandshakeReader& r, std::size_t bytes, std::size_t end, std::size_t& out) {
  if (!r.Fits(bytes, end)) return false;
  out = 0;
  for (std::size_t i = 0; i < bytes; ++i) {
    unsigned byte = 0;
    if (!r.Byte(byte)) return false;
    out = out << 8 | byte;
  }
  return true;
}

// A length of `bytes` bytes and the end of the run it announces, which must
// end by `end`.
bool OpenVector(HandshakeReader& r, std::size_t bytes, std::size_t end, std::size_t& run_end) {
  std::size_t length = 0;
  if (!ReadNumber(r, bytes, end, length) || !r.Fits(length, end)) return false;
  run_end = r.offset() + length;
  return true;
}

bool SkipVector(HandshakeReader& r, std::size_t bytes, std::size_t end) {
  std::size_t run_end = 0;
  return OpenVector(r, bytes, end, run_end) && r.Skip(run_end - r.offset());
}

// Reads the whole name of `n` bytes into `host`, gathering its first bytes
// as they come; `host` stays as it was when the name is not wholly there.
void ReadName(HandshakeReader& r, std::size_t n, Host& host) {
  char head[4 + kHostMax];
  std::size_t length = n;  // up to the first zero byte
  unsigned last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned byte = 0;
    if (!r.Byte(byte)) return;
    if (i >= length) continue;
    if (byte == 0) {
      length = i;
      continue;
    }
    if (i < sizeof head) head[i] = static_cast<char>(byte);
    last = byte;
  }
  SetHost(head, length, last, host);
}

// The server_name extension's body: a list of (type, name) entries.
void NameFromList(HandshakeReader& r, std::size_t extension_end, Host& host) {
  std::size_t list_end = 0;
  if (!OpenVector(r, 2, extension_end, list_end)) return;
  while (r.offset() < list_end) {
    std::size_t type = 0;
    std::size_t name_end = 0;
    if (!ReadNumber(r, 1, list_end, type) || !OpenVector(r, 2, list_end, name_end)) return;
    if (type == kHostNameType) {
      ReadName(r, name_end - r.offset(), host);
      return;
    }
    if (!r.Skip(name_end - r.offset())) return;
  }
}

void MessageName(const unsigned char* data, std::size_t len, Host& host) {
  HandshakeReader r(data, len);
  std::size_t type = 0;
  std::size_t hello_end = 0;
  if (!ReadNumber(r, 1, kNoLimit, type) || type != kClientHello ||
      !OpenVector(r, 3, kNoLimit, hello_end)) {
    return;
  }
  if (!r.Fits(kVersionAndRandom, hello_end) || !r.Skip(kVersionAndRandom)) return;
  // Session id, cipher suites, compression methods.
  if (!SkipVector(r, 1, hello_end) || !SkipVector(r, 2, hello_end) ||
      !SkipVector(r, 1, hello_end)) {
    return;
  }
  std::size_t extensions_end = 0;
  if (!OpenVector(r, 2, hello_end, extensions_end)) return;
  while (r.offset() < extensions_end) {
    std::size_t extension = 0;
    std::size_t extension_end = 0;
    if (!ReadNumber(r, 2, extensions_end, extension) ||
        !OpenVector(r, 2, extensions_end, extension_end)) {
      return;
    }
    if (extension == kServerNameExtension) {
      NameFromList(r, extension_end, host);
      return;
    }
    if (!r.Skip(extension_end - r.offset())) return;
  }
}

}  // namespace

bool BeginsWithClientHello(const char* data, std::size_t len) {
  if (data == nullptr || len < 2) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  return bytes[0] == kHandshakeRecord && bytes[1] == kRecordMajor &&
         (len <= kRecordHeader || bytes[kRecordHeader] == kClientHello);
}

bool MayBeginClientHello(const char* data, std::size_t len) {
  if (data != nullptr && len == 1) return static_cast<unsigned char>(data[0]) == kHandshakeRecord;
  return BeginsWithClientHello(data, len);
}

std::uint64_t PackHelloStart(const HelloStart& start) {
  if (start.length == 0 || start.length >= kHelloHeadBytes) return 0;
  std::uint64_t word = start.length;
  for (std::size_t i = 1; i < start.length; ++i) {
    word |= std::uint64_t{static_cast<unsigned char>(start.bytes[i])} << (8 * i);
  }
  return word;
}

HelloStart UnpackHelloStart(std::uint64_t word) {
  HelloStart start;
  const std::size_t length = word & 0xFF;
  if (length == 0 || length >= kHelloHeadBytes) return start;
  start.length = static_cast<std::uint8_t>(length);
  start.bytes[0] = static_cast<char>(kHandshakeRecord);
  for (std::size_t i = 1; i < length; ++i) start.bytes[i] = static_cast<char>(word >> (8 * i));
  return start;
}

Host ServerNameOf(const char* data, std::size_t len) {
  // Filled in place: the empty host unless a name is found. Only the bytes
  // up to the terminating zero are written, which is all a Host promises.
  Host host;
  host.text[0] = '\0';
  host.length = 0;
  if (!BeginsWithClientHello(data, len) || len <= kRecordHeader) return host;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  if (FirstRecordName(bytes, len, host) == Reading::kBeyond) MessageName(bytes, len, host);
  return host;
}

}  // namespace tarvel
