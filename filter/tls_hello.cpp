// The ClientHello is read as servers read it, but leniently: only the
// lengths are checked, each against the one enclosing it, never a field's
// value (a session id over 32 bytes, an odd cipher suite length, an empty
// record). A hello that a server refuses names nothing that could be
// reached, but one that it takes must never give another name here.
#include "filter/tls_hello.h"

#include <cstdint>

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

bool IsW(char c) { return c == 'w' || c == 'W'; }

// Reads the whole name of `n` bytes, keeping its first ones: a "www." and
// the 99 characters behind it.
Host ReadName(HandshakeReader& r, std::size_t n) {
  char head[4 + kHostMax];
  std::size_t length = n;  // up to the first zero byte
  unsigned last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned byte = 0;
    if (!r.Byte(byte)) return {};
    if (i >= length) continue;
    if (byte == 0) {
      length = i;
      continue;
    }
    if (i < sizeof head) head[i] = static_cast<char>(byte);
    last = byte;
  }
  if (length > 0 && last == '.') --length;
  std::size_t start = 0;
  if (length >= 4 && IsW(head[0]) && IsW(head[1]) && IsW(head[2]) && head[3] == '.') start = 4;
  Host host{};
  host.length = length - start < kHostMax ? length - start : kHostMax;
  for (std::size_t i = 0; i < host.length; ++i) host.text[i] = head[start + i];
  host.text[host.length] = '\0';
  return host;
}

// The server_name extension's body: a list of (type, name) entries.
Host NameFromList(HandshakeReader& r, std::size_t extension_end) {
  std::size_t list_end = 0;
  if (!OpenVector(r, 2, extension_end, list_end)) return {};
  while (r.offset() < list_end) {
    std::size_t type = 0;
    std::size_t name_end = 0;
    if (!ReadNumber(r, 1, list_end, type) || !OpenVector(r, 2, list_end, name_end)) return {};
    if (type == kHostNameType) return ReadName(r, name_end - r.offset());
    if (!r.Skip(name_end - r.offset())) return {};
  }
  return {};
}

}  // namespace

bool BeginsWithClientHello(const char* data, std::size_t len) {
  if (data == nullptr || len < 2) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  return bytes[0] == kHandshakeRecord && bytes[1] == kRecordMajor &&
         (len <= kRecordHeader || bytes[kRecordHeader] == kClientHello);
}

Host ServerNameOf(const char* data, std::size_t len) {
  if (!BeginsWithClientHello(data, len) || len <= kRecordHeader) return {};
  HandshakeReader r(reinterpret_cast<const unsigned char*>(data), len);
  std::size_t type = 0;
  std::size_t hello_end = 0;
  if (!ReadNumber(r, 1, kNoLimit, type) || type != kClientHello ||
      !OpenVector(r, 3, kNoLimit, hello_end)) {
    return {};
  }
  if (!r.Fits(kVersionAndRandom, hello_end) || !r.Skip(kVersionAndRandom)) return {};
  // Session id, cipher suites, compression methods.
  if (!SkipVector(r, 1, hello_end) || !SkipVector(r, 2, hello_end) ||
      !SkipVector(r, 1, hello_end)) {
    return {};
  }
  std::size_t extensions_end = 0;
  if (!OpenVector(r, 2, hello_end, extensions_end)) return {};
  while (r.offset() < extensions_end) {
    std::size_t extension = 0;
    std::size_t extension_end = 0;
    if (!ReadNumber(r, 2, extensions_end, extension) ||
        !OpenVector(r, 2, extensions_end, extension_end)) {
      return {};
    }
    if (extension == kServerNameExtension) return NameFromList(r, extension_end);
    if (!r.Skip(extension_end - r.offset())) return {};
  }
  return {};
}

}  // namespace tarvel
