// ServerNameOf against the plain reading of the same bytes, then the name
// through both lists of a block with entries of every kind. The input's
// handshake bytes are also framed again in small records, so that every
// mutation is tried split over records too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter/tls_hello.h"
#include "filter/url_match.h"
#include "state/url_list.h"
#include "tests/testing/tls_hello_plain.h"

namespace {

tarvel::FilterState* Block() {
  static tarvel::FilterState* state = [] {
    static tarvel::FilterState s;
    tarvel::ResetToInitial(s);
    for (const char* e : {"example.org", "ex*le", "a?c", "", "news", "?"}) {
      tarvel::AddUrl(s, tarvel::ListKind::kBlack, e);
      tarvel::AddUrl(s, tarvel::ListKind::kWhite, e);
    }
    return &s;
  }();
  return state;
}

bool Same(const tarvel::Host& a, const tarvel::Host& b) {
  return a.length == b.length && std::memcmp(a.text, b.text, a.length) == 0;
}

void Check(const char* data, std::size_t size) {
  const tarvel::Host host = tarvel::ServerNameOf(data, size);
  if (host.length > tarvel::kHostMax || host.text[host.length] != '\0') std::abort();
  if (std::memchr(host.text, '\0', host.length) != nullptr) std::abort();
  if (host.length != 0 && !tarvel::BeginsWithClientHello(data, size)) std::abort();
  if (!Same(host, tarvel::testing::ServerNameOfPlain(data, size))) std::abort();
  tarvel::MatchUrlList(tarvel::ListOf(*Block(), tarvel::ListKind::kBlack), host);
  tarvel::MatchUrlList(tarvel::ListOf(*Block(), tarvel::ListKind::kWhite), host);
}

// The handshake bytes of the input's records, joined, then framed again in
// records of 1 to 64 bytes as the input's last byte chooses.
std::string Reframed(const std::uint8_t* data, std::size_t size) {
  std::string message;
  std::size_t at = 0;
  while (size - at >= 5 && data[at] == 22) {
    std::size_t n = std::size_t{data[at + 3]} << 8 | data[at + 4];
    if (n > size - at - 5) n = size - at - 5;
    message.append(reinterpret_cast<const char*>(data + at + 5), n);
    at += 5 + n;
  }
  const std::size_t piece = data[size - 1] % 64 + 1;
  std::string out;
  for (std::size_t from = 0; from < message.size(); from += piece) {
    const std::string fragment = message.substr(from, piece);
    out += std::string("\x16\x03\x03\x00", 4) + static_cast<char>(fragment.size()) + fragment;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Check(reinterpret_cast<const char*>(data), size);
  if (size > 0) {
    const std::string framed = Reframed(data, size);
    const std::size_t n = framed.size();
    char* exact = static_cast<char*>(std::malloc(n));  // an over-read is caught
    std::memcpy(exact, framed.data(), n);
    Check(exact, n);
    std::free(exact);
  }
  return 0;
}
