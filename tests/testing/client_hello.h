// TLS ClientHellos built field by field, for tests and benchmarks: well
// formed by default, and every field can be given wrong on purpose.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvel::testing {

// `value` as a big-endian number of `bytes` bytes.
std::string Number(std::size_t bytes, std::size_t value);
// A vector: its length in `bytes` bytes, then its body.
std::string Vector(std::size_t bytes, const std::string& body);
std::string Extension(std::size_t type, const std::string& body);

struct NameEntry {
  int type;  // 0: host_name
  std::string name;
};
// The server_name extension with these entries.
std::string ServerNameExtension(const std::vector<NameEntry>& entries);
// The server_name extension with one host_name entry.
std::string ServerNameExtension(const std::string& host_name);

// The fields of a hello body before the extensions: version and random,
// then the session id, cipher suites and compression methods, each whole.
// Functions, so that rows built at static initialisation may use them.
std::string VersionAndRandom();
std::string SessionIdField();
std::string CipherSuitesField();
std::string CompressionMethodsField();

// A hello body: the well-formed fields above, then `extensions_field` as it
// stands (its length included, or missing, or wrong).
std::string HelloBody(const std::string& extensions_field);
// The handshake message: type 1, the body's length, the body.
std::string HelloMessage(const std::string& body);
// One handshake record holding `fragment`.
std::string HandshakeRecord(const std::string& fragment,
                            const std::string& version = std::string("\x03\x01", 2));
// The message in handshake records of at most `size` bytes each.
std::string HandshakeRecords(const std::string& message, std::size_t size);

// A whole hello in one record with these extensions, in this order.
std::string ClientHello(const std::string& extensions);
// A hello as a browser sends it: GREASE, versions, a large key share and a
// padding extension around the server_name of `host_name` (none if empty).
std::string BrowserClientHello(const std::string& host_name);

}  // namespace tarvel::testing
