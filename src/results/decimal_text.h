// Integers as the result and search files hold them: plain decimal text, written and read
// without the C library's locale-dependent conversions. Files may have been edited by hand or
// cut short, so reading never fails loudly: it gives nothing for text that is not a number and
// clamps a number that does not fit.
//
// Thread safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tulix {

// "-12", "0", "2147483647".
std::string DecimalText(int64_t value);

// Blanks around the text dropped, an optional '-' or '+', then decimal digits and nothing
// else. A number beyond the range of T is clamped to the nearest end of the range. Nothing
// when the text is not such a number.
std::optional<int64_t> ParseDecimal64(std::string_view text);
std::optional<int> ParseDecimalInt(std::string_view text);

// a + b and a * b, held at the ends of the range instead of overflowing.
int64_t SaturatingAdd(int64_t a, int64_t b);
int64_t SaturatingMultiply(int64_t a, int64_t b);
// The value clamped into the range of int.
int ClampToInt(int64_t value);

}  // namespace tulix
