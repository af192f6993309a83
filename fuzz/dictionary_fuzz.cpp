// Reads arbitrary bytes as dictionary.bin. Whatever was kept must be a dictionary the program
// can write and read back unchanged, and every word it holds must match where it stands.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "family/family_dictionary.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  tulix::FamilyDictionary read;
  read.FromBytes(bytes);
  FUZZ_CHECK(read.NodeCount() >= 1 && read.NodeCount() <= tulix::FamilyDictionary::kMaxNodes);

  const std::string written = read.ToBytes();
  tulix::FamilyDictionary again;
  FUZZ_CHECK(again.FromBytes(written));
  const std::vector<tulix::DictionaryEntry> entries = read.Entries();
  FUZZ_CHECK(again.Entries() == entries);
  FUZZ_CHECK(again.ToBytes() == written);

  size_t checked = 0;
  for (const tulix::DictionaryEntry& entry : entries) {
    if (++checked > 64) {
      break;
    }
    FUZZ_CHECK(!entry.word.empty());
    FUZZ_CHECK(entry.level >= tulix::kLevelLow && entry.level <= tulix::kLevelBlock);
    FUZZ_CHECK(again.MatchAt(entry.word, 0, true, tulix::kFamilySeparators) != 0);
  }
  // The censor check over the file's own bytes, as if a result's text: it must end, and the
  // two copies must agree.
  FUZZ_CHECK(read.PassesWordCheck(bytes, tulix::kFamilySeparators) ==
             again.PassesWordCheck(bytes, tulix::kFamilySeparators));
  return 0;
}
