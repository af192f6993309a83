// Feeds the token splitter arbitrary text under each kind of delimiter set, with and without
// escapes, and checks what every caller relies on: a token is never longer than the bound, the
// end index stays inside the text, and popping tokens one by one always finishes.
#include <cstddef>
#include <cstdint>
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/token_splitter.h"
#include "fuzz_support.h"

namespace {

void SplitAll(std::string_view text, std::string_view delimiters, bool escapes) {
  size_t end = 0;
  const std::string first = tulix::GetToken(text, delimiters, escapes, &end);
  FUZZ_CHECK(first.size() <= tulix::kMaxTokenLength);
  FUZZ_CHECK(end <= text.size());

  // Each pop takes at least one byte off the text unless the text is empty, so this loop ends.
  std::string rest(text);
  int count = 0;
  while (!rest.empty()) {
    const size_t before = rest.size();
    const std::string token = tulix::PopToken(rest, delimiters, escapes);
    FUZZ_CHECK(token.size() <= tulix::kMaxTokenLength);
    FUZZ_CHECK(rest.size() < before);
    ++count;
  }

  size_t nthEnd = 0;
  const std::string nth = tulix::GetNthToken(text, delimiters, count / 2, escapes, &nthEnd);
  FUZZ_CHECK(nth.size() <= tulix::kMaxTokenLength);
  FUZZ_CHECK(nthEnd <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // One delimiter compared directly, and sets of several, as definitions and scripts use them.
  for (std::string_view delimiters : {",", "|", " ", "=", " \t,;", "\"'"}) {
    SplitAll(text, delimiters, false);
    SplitAll(text, delimiters, true);
  }
  for (unsigned char c : std::string_view("0123456789ABCDEFabcdefg", 23)) {
    FUZZ_CHECK((tulix::HexDigitValue(static_cast<char>(c)) >= 0) == (std::isxdigit(c) != 0));
  }
  return 0;
}
