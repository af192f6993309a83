// Output helpers shared by the command-line tools.
#pragma once

#include <string>
#include <string_view>

namespace tulix::tools {

// Appends `prefix` and the byte as two lower-case hexadecimal digits.
void AppendHexEscape(std::string& out, const char* prefix, unsigned char c);

// Appends text as the body of a JSON string (no quotes). Engine files and pages are bytes in
// whatever character set the engine used: valid UTF-8 passes through, any other byte above 127
// is given as the code point of the same number (its reading as Latin-1), so the output is
// always valid JSON.
void AppendJsonText(std::string& out, std::string_view text);

}  // namespace tulix::tools
