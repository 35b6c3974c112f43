// Host extraction from the first buffer of an outgoing request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

inline constexpr std::size_t kHostMax = 99;

// A host of 0 to 99 characters, NUL-terminated; the empty host means that
// the request names none.
struct Host {
  char text[kHostMax + 1];
  std::size_t length;
};

// The request text is `data[0..len)` cut at its first zero byte; `data` may be
// null (an empty text). The host is the value of the first "Host:" found
// anywhere in the text, case-sensitively, starting one character after the
// colon (whatever that character is), with a leading "www." of any case
// dropped, and ending only at a carriage return or the end of the text; a
// longer value keeps its first 99 characters. Nothing else is cleaned: a
// port, blanks, line feeds and the letters' case stay.
Host ExtractHost(const char* data, std::size_t len);

}  // namespace tarvel
