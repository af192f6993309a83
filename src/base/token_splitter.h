// Cuts text into fields: definition lines, keyword lists, script instructions, server replies.
//
// A token may be quoted with double or single quotes (the quotes are removed), may hold a quoted
// part in its middle (those double quotes are kept), and, with escapes on, may carry C-style
// escapes (\n, \t, \x41, \101 ...). Leading blanks and trailing blanks of an unquoted token are
// dropped. `delimiters` of one character is compared directly; a longer text means "any of these
// characters". A token holds at most kMaxTokenLength bytes; the rest of a longer one is dropped.
//
// Thread safety: the functions keep no state between calls and may run on many threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tulix {

inline constexpr size_t kMaxTokenLength = 20000;

// The next token of `text`. `*end` (when given) receives the index just past the delimiter
// that ended it, or text.size() when the text ran out first.
std::string GetToken(std::string_view text, std::string_view delimiters, bool escapes,
                     size_t* end = nullptr);

// GetToken on `text`, then `text` keeps only its part from the end onwards.
std::string PopToken(std::string& text, std::string_view delimiters, bool escapes);

// The token number n (from 0): GetToken n+1 times, each on the rest after the previous one.
// `*end` (when given) receives the index in `text` just past the last token's delimiter.
std::string GetNthToken(std::string_view text, std::string_view delimiters, int n, bool escapes,
                        size_t* end = nullptr);

// The value of a hexadecimal digit in either case (the "\x" escapes read them); -1 for any
// other character.
int HexDigitValue(char c);

}  // namespace tulix
