// ASCII-only case rules. Host matching and the phrase test fold exactly the
// letters A-Z / a-z and nothing else, whatever the locale or code page.
#pragma once

namespace tarvel {

constexpr unsigned char ToLowerAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

constexpr char ToLowerAscii(char c) {
  return static_cast<char>(ToLowerAscii(static_cast<unsigned char>(c)));
}

constexpr bool EqualIgnoringAsciiCase(unsigned char a, unsigned char b) {
  return ToLowerAscii(a) == ToLowerAscii(b);
}

// White space as the C locale's isspace sees it.
constexpr bool IsSpaceAscii(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace tarvel
