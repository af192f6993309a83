// The URL parser: splits an absolute address into service type, server, object and port.
//
// Only text of the form "scheme://host[:port][/object]" parses; a relative link, or text
// without "://", fails. The object always starts with "/" ("/" when the address has none) and
// keeps its query and fragment undecoded. The port is the scheme's default when none is given
// (0 for schemes without one). The user name and password part of the host is dropped. No
// other canonicalisation happens: dot segments and case stay as written.
//
// Thread safety: a pure function; call it from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tulix {

// The service type numbers the framework used, kept so callers compare with the same values.
enum InternetService : uint32_t {
  kServiceFtp = 1,
  kServiceGopher = 2,
  kServiceHttp = 3,
  kServiceUnknown = 0x1000,
  kServiceFile = 0x1001,
  kServiceMailto = 0x1002,
  kServiceNews = 0x1006,
  kServiceHttps = 0x100B,
};

struct ParsedUrl {
  uint32_t serviceType = kServiceUnknown;
  std::string server;
  std::string object;
  uint16_t port = 0;
};

// The longest server name or object a parsed address may have.
inline constexpr size_t kMaxUrlLength = 2083;

// Parses `url`; on failure `*out` is left as it was and false returned.
bool ParseUrl(std::string_view url, ParsedUrl* out);

// `text` as one value of a query string or form: letters, digits and "-._~" stay, a blank
// becomes "+", every other byte "%" and two upper-case hexadecimal digits.
std::string EncodeQueryValue(std::string_view text);

// `address` with every blank, control character, quote and angle bracket as "%" and two
// hexadecimal digits, as a browser sends a link a page wrote with them raw. Such an address can
// stand unquoted in mark-up, on a request line and as a value of a profile file.
std::string EncodeUnsafeAddressBytes(std::string_view address);

// Whether `text` holds a control character (a byte below 32, or 127). Such an address cannot go
// into a request as it is: a line end in it would end the line it stands on.
bool HasControlCharacters(std::string_view text);

}  // namespace tulix
