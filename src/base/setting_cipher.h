// The stored-text cipher: keeps a setting text (the family violation e-mail address) in the
// registry in a form that is not readable at a glance. It is obscurity, not protection: the key
// is fixed and built into the program.
//
// The text is zero-padded to whole 8-byte blocks, enciphered with Blowfish in ECB mode under a
// fixed key, and each byte is written as two characters between '0' and '?' (low nibble first),
// so the stored text is twice the padded length.
//
// Thread safety: both functions may run on any thread; the key schedule is built once per
// process on first use and only read afterwards.
#pragma once

#include <string>
#include <string_view>

namespace tulix {

// The stored form of `text`. An empty text gives an empty text.
std::string EncipherSetting(std::string_view text);

// The text that `stored` holds: it ends at the first zero byte, or at the last byte when there is
// none. An empty text, or one whose length is not a multiple of 16 characters (a whole number of
// cipher blocks), gives an empty text.
std::string DecipherSetting(std::string_view stored);

}  // namespace tulix
