// Text between the core and the widgets. The core keeps text as bytes, as the data files and the
// settings store hold it; most of it is plain ASCII, newer files are UTF-8 and older ones were
// written in the Windows-1252 code page. The widgets show bytes as UTF-8 when they are valid
// UTF-8 and as Windows-1252 otherwise, and hand text back to the core as UTF-8, which reads
// back as the same text.
//
// Thread safety: plain functions without state; any thread.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace tulix {

QString FromCoreText(std::string_view bytes);
std::string ToCoreText(const QString& text);

}  // namespace tulix
