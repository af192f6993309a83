// Reads arbitrary text as a profile file, changes one value, and reads the file back from disk:
// the changed value must read as written and every other value as it did before. Reading the
// same text through ProfileText must agree with reading the file.
//
// The first byte of the input picks the value to change (one of the file's own keys, or a new
// one); the rest is the file. Each input is written to the same file in a private temporary
// folder, and the profile cache is cleared first, so no run sees an earlier run's file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "platform/profile_file.h"

namespace {

const std::string& ProfilePath() {
  static const std::string path = tulix::fuzz::FuzzFolder() + "/fuzz.ini";
  return path;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(static_cast<bool>(out));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits a name list: each name followed by a NUL, the list by one more.
std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < list.size() && list[pos] != '\0') {
    const size_t end = list.find('\0', pos);
    names.push_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

struct Entry {
  std::string section;
  std::string key;
  std::string value;
};

std::vector<Entry> ReadAll(const std::string& path) {
  std::vector<Entry> entries;
  for (const std::string& section : SplitNames(tulix::GetPrivateProfileString(
           nullptr, nullptr, "", path))) {
    for (const std::string& key : SplitNames(tulix::GetPrivateProfileString(
             section.c_str(), nullptr, "", path))) {
      entries.push_back({section, key,
                         tulix::GetPrivateProfileString(section.c_str(), key.c_str(), "", path)});
    }
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned pick = data[0];
  const std::string_view content(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string& path = ProfilePath();
  tulix::ClearProfileCache();
  WriteFile(path, content);

  const std::vector<Entry> before = ReadAll(path);
  // A NUL inside a name cannot come through the NUL-separated name lists, so such a file is
  // only read, not checked.
  if (content.find('\0') != std::string_view::npos) {
    return 0;
  }
  const tulix::ProfileText text(content);
  for (const Entry& e : before) {
    FUZZ_CHECK(text.GetString(e.section.c_str(), e.key.c_str(), "") == e.value);
  }

  // The new value is the file's last line, written as the program writes outside texts
  // (ProfileQuoted), so whatever it holds it must read back as itself.
  const size_t lastLine = content.rfind('\n');
  Entry change{"fuzzsection", "fuzzkey",
               std::string(lastLine == std::string_view::npos ? content
                                                              : content.substr(lastLine + 1))};
  if (change.value.find('\r') != std::string::npos) {
    change.value = "changed value";
  }
  if (!before.empty() && pick % (before.size() + 1) < before.size()) {
    change.section = before[pick % (before.size() + 1)].section;
    change.key = before[pick % (before.size() + 1)].key;
  }
  const std::string stored = tulix::ProfileQuoted(change.value);
  const bool written = tulix::WritePrivateProfileString(change.section.c_str(), change.key.c_str(),
                                                        stored.c_str(), path);
  tulix::ClearProfileCache();
  if (!written) {
    // A name the writer refuses leaves the file as it was.
    FUZZ_CHECK(ReadFile(path) == content);
    return 0;
  }
  FUZZ_CHECK(tulix::GetPrivateProfileString(change.section.c_str(), change.key.c_str(), "", path) ==
        change.value);
  for (const Entry& e : before) {
    if (SameName(e.section, change.section) && SameName(e.key, change.key)) {
      continue;
    }
    FUZZ_CHECK(tulix::GetPrivateProfileString(e.section.c_str(), e.key.c_str(), "", path) == e.value);
  }
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tulix::fuzz::UsePrivateProgramFolder();
  return 0;
}
