// The check every installer makes on a downloaded file name before writing it below the
// categories folder: the name comes from a server, so it must not reach outside that folder.
//
// Thread safety: pure.
#pragma once

#include <string_view>

namespace tulix {

// False for an empty name, an absolute one ("\x", "/x", a drive "c:"), one with a ".."
// component between either kind of separator, and one holding a control character.
bool IsSafeRelativePath(std::string_view name);

}  // namespace tulix
