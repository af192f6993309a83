// Numbers stored as text (the engine-set version, category time stamps, the program version sent
// to the update server, the integers of result and search files), read and written with "." as
// the decimal point whatever locale the process runs in. The desktop toolkit switches the C
// library to the user's locale at start, where "%f" would write "1,500000" and strtod would stop
// at the "." of a stored value. Files may have been edited by hand or cut short, so the integer
// readers never fail loudly: they give nothing for text that is not a number and clamp a number
// that does not fit.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tulix {

// The number at the front of `text`, as strtod reads it in the "C" locale: leading white space
// skipped, an optional sign, digits with an optional "." fraction and exponent; anything after
// the number is ignored. A text that does not start with a number, or whose number lies beyond
// a double's range, gives 0.
double ParseDecimal(std::string_view text);

// `value` with `decimals` digits after the ".", as printf's "%.*f" writes it in the "C" locale.
std::string FormatDecimal(double value, int decimals);

// `value` in decimal: "-12", "0", "2147483647".
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
