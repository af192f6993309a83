// The update list on arbitrary text: every entry the parser keeps must have a plain decimal
// stamp, and each path is put through the checks the upgrade job applies before it writes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "update/upgrade_list.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tulix::fuzz::UsePrivateProgramFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tulix::UpgradeList list = tulix::ParseUpgradeList(text);
  FUZZ_CHECK(list.skippedLines >= 0);
  FUZZ_CHECK(list.files.size() + static_cast<size_t>(list.skippedLines) <= size);
  for (const tulix::UpgradeFileEntry& entry : list.files) {
    FUZZ_CHECK(tulix::IsPlainDecimal(entry.stamp));
    if (tulix::IsSafeUpgradePath(entry.path)) {
      // A safe path is relative: the request object is the categories folder plus the path.
      const std::string object = tulix::UpgradeFileObject(entry.path);
      FUZZ_CHECK(object.rfind("/tulix/categories/", 0) == 0);
      FUZZ_CHECK(!entry.path.empty() && entry.path[0] != '/' && entry.path[0] != '\\');
    }
    tulix::IsWebPageEntry(entry.path);
    tulix::IsWebPageEntryForBrowserLibrary(entry.path);
  }
  tulix::SplitCategoryNames(text);
  tulix::ParseUpdateServer(text);
  tulix::IsWebAddressToFollow(text);
  return 0;
}
