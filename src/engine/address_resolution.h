// Address resolution: turns a link, form action or redirect target found on a page into an
// address that can be fetched or stored, by making it absolute against the address of the page
// it was found on and decoding the HTML entities in it.
//
// Every address is treated as http: a resolved relative link always starts with "http://",
// whatever the scheme of its base, and a base on another port keeps that port
// ("https://h/x" gives "http://h:443/..."). Dot segments ("./", "../") are not removed; a
// fragment stays part of the file or the query.
//
// Thread safety: pure functions; call them from any thread. ResolveAddress may log.
#pragma once

#include <string>
#include <string_view>

namespace tulix {

// The link made absolute against `base`, entities decoded. Never fails: a relative link on a
// base that does not parse stays as it is (apart from the entities) and the warning
// "Cannot parse address <base>,<link>" is logged, unless both are empty.
std::string ResolveAddress(std::string_view base, std::string_view link);

// Splits a base address into "http://" + server [+ ":" + port when not 80] + the object up to
// and including the last "/" before its query; the file after that "/" up to the "?"; and the
// query from the "?" on ("" when there is none). Returns false, leaving the outputs alone, when
// the base does not parse.
bool SplitBaseAddress(std::string_view base, std::string* directory, std::string* file,
                      std::string* query);

// "http://" + server [+ ":" + port when not 80], and the object (which starts with "/").
// Returns false, leaving the outputs alone, when the base does not parse.
bool RootAddress(std::string_view base, std::string* root, std::string* object);

// Joins a and b with exactly one separator between them: "http://h/d/" and "x.htm" give
// "http://h/d/x.htm"; "" and "/x" give "x"; "http://h/d/" and "" give "http://h/d".
std::string JoinWithSeparator(std::string_view a, std::string_view b, char separator);

}  // namespace tulix
