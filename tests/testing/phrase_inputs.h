// Inputs for the phrase test: random and adversarial buffers and tables for
// comparing MatchPhrases with its reference, and ordinary pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "state/filter_state.h"

namespace tarvel::testing {

using Rng = std::mt19937;

// The distinct words of the slots in use, in lower case.
std::vector<std::string> TableWords(const FilterState& state);

// `length` bytes of filler (letters, markup, blanks, NULs, and the bytes
// beside the letter ranges that differ from letters only in bit 5) with
// some of `words` written over it: in random letter case, sometimes with a
// byte flipped in bit 5 or cut short, sometimes a whole run of words ending
// exactly at the last byte.
std::string WordMix(Rng& rng, std::size_t length, const std::vector<std::string>& words);

struct TableShape {
  int slots = 20;              // slots written; the count may differ
  int max_word_bytes = 4;      // words of 1..max_word_bytes bytes
  int alphabet = 6;            // distinct word letters used (both cases each)
  bool odd_bytes = true;       // words may hold '@', '[', '`', '{', '-', 0x80, 0xc1, 0xe1
  bool wordless_slot = false;  // one slot holds blanks only
};

// Writes a random phrase table into `state`: slots of 1 to 6 words
// (anything past five is ignored) separated by any white space, from a
// small alphabet so that words overlap and hold one another; now and then a
// slot that fills all 50 bytes, or a count above 100.
void WriteRandomTable(Rng& rng, const TableShape& shape, FilterState& state);

// Bytes drawn from what the words of `state` are made of, plus NUL, blanks
// and the bit-5 partners of those bytes, with the table's words mixed in.
std::string TableMix(Rng& rng, std::size_t length, const FilterState& state);

// An ordinary web page of `length` bytes: markup, scripts and prose of
// everyday words (some of which the built-in phrases use, like "video" or
// "stories"). Deterministic for a seed.
std::string OrdinaryPage(std::size_t length, std::uint32_t seed);

}  // namespace tarvel::testing
