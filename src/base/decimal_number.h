// Decimal numbers stored as text (the engine-set version, category time stamps, the program
// version sent to the update server), read and written with "." as the decimal point whatever
// locale the process runs in. The desktop toolkit switches the C library to the user's locale
// at start, where "%f" would write "1,500000" and strtod would stop at the "." of a stored value.
//
// Thread safety: pure functions, callable from any thread.
#pragma once

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

}  // namespace tulix
