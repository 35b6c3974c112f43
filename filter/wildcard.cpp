#include "filter/wildcard.h"

namespace tarvel {

int MatchWildcard(const char* pattern, const char* text) {
  const char* p = pattern;
  const char* s = text;
  // Up to the first star every byte must match in place.
  while (*s != '\0' && *p != '*') {
    if (*p != '?' && *p != *s) return 0;
    ++p;
    ++s;
  }
  // The loop above stopped at a star whenever text is left, so `resume` and
  // `retry` are set before a mismatch can use them.
  const char* resume = p;
  const char* retry = s;
  while (*s != '\0') {
    if (*p == '*') {
      if (*++p == '\0') return 1;
      resume = p;
      retry = s + 1;
    } else if (*p == '?' || *p == *s) {
      ++p;
      ++s;
    } else {
      p = resume;
      s = retry++;
    }
  }
  while (*p == '*') ++p;
  return *p == '\0' ? 1 : 0;
}

}  // namespace tarvel
