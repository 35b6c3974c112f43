#include "tests/testing/tls_hello_plain.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvel::testing {
namespace {

using Bytes = std::vector<unsigned char>;

// The fragments of the handshake records at the start of the data, joined;
// a record cut off by the end of the data gives what it holds.
Bytes JoinFragments(const unsigned char* data, std::size_t len) {
  Bytes message;
  std::size_t at = 0;
  while (len - at >= 5 && data[at] == 22) {
    const std::size_t length = std::size_t{data[at + 3]} * 256 + data[at + 4];
    const std::size_t held = std::min(length, len - at - 5);
    message.insert(message.end(), data + at + 5, data + at + 5 + held);
    at += 5 + held;
    if (held < length) break;
  }
  return message;
}

// A run of the message as its length announced it; its end may lie past
// the bytes held. Reading a byte outside either fails the whole reading.
struct Run {
  const Bytes& message;
  std::size_t at;
  std::size_t end;
  bool ok = true;

  std::size_t Number(std::size_t bytes) {
    std::size_t value = 0;
    for (std::size_t i = 0; i < bytes && ok; ++i) {
      ok = at < end && at < message.size();
      if (ok) value = value * 256 + message[at++];
    }
    return value;
  }
  // The run of a length-prefixed vector, which this run passes over.
  Run Vector(std::size_t bytes) {
    const std::size_t length = Number(bytes);
    if (ok && length > end - at) ok = false;
    if (!ok) return Run{message, at, at, false};
    Run inner{message, at, at + length};
    at += length;
    return inner;
  }
};

Host HostOf(std::string name) {
  name = name.substr(0, name.find('\0'));
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.size() >= 4 && name[3] == '.' &&
      std::all_of(name.begin(), name.begin() + 3, [](char c) { return c == 'w' || c == 'W'; })) {
    name.erase(0, 4);
  }
  name.resize(std::min(name.size(), kHostMax));
  Host host{};
  std::copy(name.begin(), name.end(), host.text);
  host.length = name.size();
  return host;
}

Host NameIn(Run list) {
  while (list.ok && list.at < list.end) {
    const std::size_t type = list.Number(1);
    const Run name = list.Vector(2);
    if (!list.ok || name.end > list.message.size()) return {};
    if (type == 0) {
      return HostOf(std::string(list.message.begin() + static_cast<long>(name.at),
                                list.message.begin() + static_cast<long>(name.end)));
    }
  }
  return {};
}

}  // namespace

Host ServerNameOfPlain(const char* data, std::size_t len) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  if (bytes == nullptr || len < 6 || bytes[0] != 22 || bytes[1] != 3 || bytes[5] != 1) return {};
  const Bytes message = JoinFragments(bytes, len);
  Run all{message, 0, SIZE_MAX};
  if (all.Number(1) != 1) return {};
  Run hello = all.Vector(3);
  hello.at += 34;  // version and random
  if (!all.ok || hello.at > hello.end) return {};
  hello.Vector(1);  // session id
  hello.Vector(2);  // cipher suites
  hello.Vector(1);  // compression methods
  Run extensions = hello.Vector(2);
  while (hello.ok && extensions.ok && extensions.at < extensions.end) {
    const std::size_t type = extensions.Number(2);
    Run body = extensions.Vector(2);
    if (!extensions.ok) return {};
    if (type == 0) {
      const Run list = body.Vector(2);
      return body.ok ? NameIn(list) : Host{};
    }
  }
  return {};
}

}  // namespace tarvel::testing
