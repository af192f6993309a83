// Address resolution: turns a link, form action or redirect target found on a page into an
// address that can be fetched or stored, by making it absolute against the address of the page
// it was found on and decoding the HTML entities in it.
//
// With https on (the SecureWeb setting), an https base keeps its scheme: a relative link on an
// https page resolves to "https://", "//host/x" takes the base's scheme, and the default port
// of each scheme is left out. Every other base, and every base with https off, is treated as
// http: the link starts with "http://", and a base on another port keeps that port
// ("https://h/x" gives "http://h:443/..." with https off). Dot segments ("./", "../") are not
// removed; a fragment stays part of the file or the query.
//
// Thread safety: call them from any thread; they read the SecureWeb setting, and ResolveAddress
// may log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tulix {

struct ParsedUrl;

// The link made absolute against `base`, entities decoded. Never fails: a relative link on a
// base that does not parse stays as it is (apart from the entities) and the warning
// "Cannot parse address <base>,<link>" is logged, unless both are empty.
std::string ResolveAddress(std::string_view base, std::string_view link);

// Whether addresses of `serviceType` are fetched, kept as results and followed: http, and https
// when https is on.
bool IsWebService(uint32_t serviceType);

// Whether `url` is fetched over TLS: an https address while https is on.
bool UsesHttps(const ParsedUrl& url);

// "http://" or "https://" + host [+ ":" + port when it is not the scheme's default].
std::string ServerRoot(bool secure, std::string_view host, uint16_t port);

// Splits a base address into its server root (as ServerRoot) + the object up to
// and including the last "/" before its query; the file after that "/" up to the "?"; and the
// query from the "?" on ("" when there is none). Returns false, leaving the outputs alone, when
// the base does not parse.
bool SplitBaseAddress(std::string_view base, std::string* directory, std::string* file,
                      std::string* query);

// The server root (as ServerRoot), and the object (which starts with "/").
// Returns false, leaving the outputs alone, when the base does not parse.
bool RootAddress(std::string_view base, std::string* root, std::string* object);

// Joins a and b with exactly one separator between them: "http://h/d/" and "x.htm" give
// "http://h/d/x.htm"; "" and "/x" give "x"; "http://h/d/" and "" give "http://h/d".
std::string JoinWithSeparator(std::string_view a, std::string_view b, char separator);

}  // namespace tulix
