// Windows profile (".ini") files: the data files of definitions, categories, search folders
// and saved searches.
//
// Reading follows the Windows rules: sections and keys without regard to case, the first
// section and the first key of a name win, names and values trimmed of blanks, one pair of
// enclosing quotes removed, CRLF, LF and lone CR all end a line, ';' starts a comment line.
// Writing edits the text in place: every line a write does not touch survives byte for byte,
// and the file keeps its line ends (a new file gets CRLF).
//
// Each file is parsed once and kept in a process-wide cache, re-read when the file on disk
// changed (another process replaced it). The cache is bounded in files and in memory: beyond
// the bound, the least recently used files that no call or batch is working on are forgotten
// and read again when next asked for. Every write replaces the file atomically (a temporary
// file in the same folder, then rename), so a crash never leaves half a file. Inside a
// ProfileBatch for a file, writes only change the cached copy and the file is replaced once,
// when the outermost batch for it ends.
//
// File names use the program's internal form: a backslash is a folder separator.
//
// Thread safety: all functions may be called from any thread. The cache has its own lock and
// each cached file one more, so calls on different files do not wait for each other and calls
// on one file (writes of different keys included) run one after another. Keeping the cache
// within its bound never waits for a file another thread is working on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tulix {

// The size to pass when the caller wants the whole value, uncut.
inline constexpr size_t kProfileNoLimit = static_cast<size_t>(-1);

// Returns the value of `key` in `section` of `file`, cut to at most size-1 characters (size 0
// gives ""). A missing file, section or key, or an empty section or key name, gives `def` less
// its trailing blanks (a null `def` means ""). A null `key` returns the section's key names and
// a null `section` the file's section names, each name followed by a NUL and the list by one
// more NUL (the bytes a Windows caller's buffer would hold, up to the closing double NUL; no
// sections gives a single NUL). A list longer than `size` is cut as Windows cuts it: its first
// size-2 bytes, then two NULs. A section without keys gives `def`, as a missing one does.
std::string GetPrivateProfileString(const char* section, const char* key, const char* def,
                                    const std::string& file, size_t size = kProfileNoLimit);

// Returns the value parsed as an unsigned 32-bit integer the Windows way (base prefixes 0x, 0o,
// 0b, a sign, wrap-around; no digits gives 0). A missing or empty value gives `def`.
uint32_t GetPrivateProfileInt(const char* section, const char* key, int32_t def,
                              const std::string& file);

// Sets `key` in `section` to `value`, creating the file, section or key as needed. A null
// `value` deletes the key; a null `key` deletes the whole section. A null `section` fails
// (kErrorFileNotFound; with key and value null too, pending batch changes are written first).
// A line break in `value` is written as a blank, so a value always stays on its own line. A
// name that would not read back as itself (a line break, '=' in a key name, a key name starting
// with ';' or '[') fails with kErrorInvalidParameter. Returns false when the file cannot be
// written or exists but cannot be read (last error set); the cached copy then follows the disk.
// Writing what the file already says, or deleting what is not there, succeeds without writing.
bool WritePrivateProfileString(const char* section, const char* key, const char* value,
                               const std::string& file);

// `value` as it must be written for a reader to give it back unchanged: in double quotes when it
// starts or ends with a blank or is itself enclosed in a pair of quotes, which a reader takes
// away; as it is otherwise, so the files of most values look as they always did. For texts the
// program stores from outside (search words, result texts, addresses).
std::string ProfileQuoted(std::string_view value);

// Profile text that is not (yet) a file, such as downloaded data, read by the same rules as a
// file. The text is parsed once, when the object is made. Any thread may read it.
class ProfileText {
 public:
  explicit ProfileText(std::string_view content);
  ~ProfileText();
  ProfileText(const ProfileText&) = delete;
  ProfileText& operator=(const ProfileText&) = delete;

  // What GetPrivateProfileString would give for a file holding the text.
  std::string GetString(const char* section, const char* key, const char* def,
                        size_t size = kProfileNoLimit) const;

 private:
  struct Parsed;
  std::unique_ptr<Parsed> m_parsed;
};

// Forgets every cached file, as a new process would start. Pending batches are written first.
void ClearProfileCache();

// The cache's default bound: 512 files, more than the engine definitions of a large set, and
// 64 MB of parsed text, about a hundred saved searches of 500 results.
inline constexpr size_t kProfileCacheDefaultBytes = size_t{64} << 20;
inline constexpr size_t kProfileCacheDefaultFiles = 512;

// What the cache holds now: the files kept parsed and the heap their parsed text takes.
struct ProfileCacheUsage {
  size_t files = 0;
  size_t bytes = 0;
};
ProfileCacheUsage GetProfileCacheUsage();

// Changes the bound (both at least 1). A file just used stays even when it alone is over the
// bound, as do files with pending batch changes; the cache may then hold more for a while.
void SetProfileCacheLimits(size_t maxBytes, size_t maxFiles);

// Defers the replacement of one file to the end of the scope: saving thousands of keys writes
// the file once. Batches for the same file nest; the outermost one writes. A batch belongs to
// the file, not to the thread: writes from any thread wait for its end, and reads from any
// thread see the pending changes. While changes are pending, a replacement of
// the file by another process is not read: the pending text is written over it. When the write
// fails, the pending changes are dropped (Commit reports it; the end of the scope cannot).
class ProfileBatch {
 public:
  explicit ProfileBatch(const std::string& file);
  ~ProfileBatch();
  ProfileBatch(const ProfileBatch&) = delete;
  ProfileBatch& operator=(const ProfileBatch&) = delete;

  // Writes the pending changes now; false when the file could not be written.
  bool Commit();

 private:
  std::string m_file;
};

}  // namespace tulix
