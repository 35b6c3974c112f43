// Whole-text wildcard matching of host patterns.
#pragma once

namespace tarvel {

// 1 if all of the NUL-terminated `text` matches all of `pattern`, else 0.
// In the pattern '*' matches any run of bytes (none included) and '?' any one
// byte; every other byte, square brackets included, matches only itself. No
// byte of the text is special. Backtracking returns to the latest star only.
int MatchWildcard(const char* pattern, const char* text);

}  // namespace tarvel
