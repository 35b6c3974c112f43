#include "tests/testing/client_hello.h"

namespace tarvel::testing {

std::string Number(std::size_t bytes, std::size_t value) {
  std::string out(bytes, '\0');
  for (std::size_t i = bytes; i-- > 0; value >>= 8) out[i] = static_cast<char>(value & 0xFF);
  return out;
}

std::string Vector(std::size_t bytes, const std::string& body) {
  return Number(bytes, body.size()) + body;
}

std::string Extension(std::size_t type, const std::string& body) {
  return Number(2, type) + Vector(2, body);
}

std::string ServerNameExtension(const std::vector<NameEntry>& entries) {
  std::string list;
  for (const NameEntry& e : entries) list += Number(1, e.type) + Vector(2, e.name);
  return Extension(0, Vector(2, list));
}

std::string ServerNameExtension(const std::string& host_name) {
  return ServerNameExtension(std::vector<NameEntry>{{0, host_name}});
}

std::string VersionAndRandom() { return std::string("\x03\x03", 2) + std::string(32, 'r'); }
std::string SessionIdField() { return Vector(1, std::string(32, 's')); }
std::string CipherSuitesField() {
  return Vector(2, std::string("\x0a\x0a\x13\x01\x13\x02\xc0\x2f", 8));
}
std::string CompressionMethodsField() { return Vector(1, std::string(1, '\0')); }

std::string HelloBody(const std::string& extensions_field) {
  return VersionAndRandom() + SessionIdField() + CipherSuitesField() + CompressionMethodsField() +
         extensions_field;
}

std::string HelloMessage(const std::string& body) { return "\x01" + Vector(3, body); }

std::string HandshakeRecord(const std::string& fragment, const std::string& version) {
  return "\x16" + version + Vector(2, fragment);
}

std::string HandshakeRecords(const std::string& message, std::size_t size) {
  std::string out;
  for (std::size_t at = 0; at < message.size(); at += size) {
    out += HandshakeRecord(message.substr(at, size));
  }
  return out;
}

std::string ClientHello(const std::string& extensions) {
  return HandshakeRecord(HelloMessage(HelloBody(Vector(2, extensions))));
}

std::string BrowserClientHello(const std::string& host_name) {
  const std::string grease = Extension(0x0a0a, "");
  const std::string versions = Extension(43, Vector(1, std::string("\x7a\x7a\x03\x04\x03\x03", 6)));
  const std::string key_share =
      Extension(51, Vector(2, Number(2, 0x11ec) + Vector(2, std::string(1216, 'k'))));
  const std::string name = host_name.empty() ? "" : ServerNameExtension(host_name);
  return ClientHello(grease + name + versions + key_share + Extension(21, std::string(200, '\0')));
}

}  // namespace tarvel::testing
