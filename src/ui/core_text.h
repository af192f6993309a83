// Text crosses from the core to the widgets here. The core keeps text as bytes, as engines sent
// them; most pages today are UTF-8, older ones Windows-1252. Bytes that form valid UTF-8 are
// shown as UTF-8, anything else as Windows-1252, so a page in either shows readable text.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace tulix {

QString FromCoreText(std::string_view bytes);
// What the user typed, as the core stores it (UTF-8).
std::string ToCoreText(const QString& text);

}  // namespace tulix
