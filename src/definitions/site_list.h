// The known-site list: host names marked as ordinary, shopping, preferred shopping or blocked
// sites, kept in sites.sit in the categories folder.
//
// The file is a profile file whose section "sites" holds keys "0", "1", ... with values
// "<type word> <host>"; a file delivered by an update may carry a section "override" of the
// same form whose entries win over the user's own types.
//
// Ownership: the list owns its entries. The application object holds the program's one list
// (App().sites).
//
// Thread safety: every member may be called from any thread. Search jobs look hosts up on
// worker threads while the user interface or the upgrade job changes the list; a reader-writer
// lock inside the list keeps a reader from ever seeing a change half done. Load and MergeFromFile
// read their file outside the lock and then change the list in one locked step. Readers get
// copies, never references into the list.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tulix {

inline constexpr int kSiteNormal = 0;
inline constexpr int kSiteShop = 1;
inline constexpr int kSitePShop = 2;
inline constexpr int kSiteBlacklist = 3;

// "Normal", "Shop", "PShop", "Blacklist": the words of the file. Any other type gives "Normal".
const char* SiteTypeFileWord(int type);
// "Normal", "Shopping", "Preferred Shopping", "Blocked": the words shown to the user. Any other
// type gives "Normal".
const char* SiteTypeDisplayWord(int type);
// The type of a file word, compared exactly; any other word (lower case included) gives 0.
int ParseSiteType(std::string_view fileWord);
bool IsValidSiteType(int type);

struct SiteEntry {
  std::string host;  // exact host name; empty for a malformed value, and then never matched
  int type = kSiteNormal;
};

class SiteList {
 public:
  SiteList();
  ~SiteList();
  SiteList(const SiteList&) = delete;
  SiteList& operator=(const SiteList&) = delete;

  // Makes `file` the list's file and replaces the list by the values of its section "sites"
  // (keys from 0 up to the first empty value). A missing file gives an empty list, silently.
  void Load(const std::string& file);

  // Takes "<type word> <host>": appends the host when it is not known yet; otherwise sets its
  // type only when `overwrite`. A value without a blank gives an entry with an empty host.
  void AddFromString(std::string_view value, bool overwrite);

  // Adds the section "sites" of `file` without changing the type of a host already known (the
  // user's choice stays), then applies its section "override", whose types replace known ones.
  // True when that added a host or changed a type.
  bool MergeFromFile(const std::string& file);
  // The same for profile text that is not a file (a downloaded list).
  bool MergeFromText(std::string_view text);

  // Replaces the section "sites" of the list's file by the entries in order. False, with the
  // error logged, when the list has no file yet or the file cannot be written.
  bool Save() const;

  // The type of the host of `href`; 0 when it does not parse or the host is not listed.
  int TypeOf(std::string_view href) const;
  // The type of `host` (exact comparison); 0 when not listed.
  int TypeOfHost(std::string_view host) const;

  // Sets the type of the host of `href`, adding the host when it is new. False (nothing
  // changed) when `href` does not parse, `type` is not 0..3, or the host could not be written
  // back to the file as one value (empty, or holding blanks or control characters).
  bool SetType(std::string_view href, int type);
  // The same for a host name, as the sites page does it.
  bool SetHostType(std::string_view host, int type);

  std::string FileName() const;
  int size() const;
  // Copies of all entries, in order.
  std::vector<SiteEntry> Snapshot() const;

 private:
  struct HostHash {
    using is_transparent = void;
    size_t operator()(std::string_view host) const { return std::hash<std::string_view>{}(host); }
  };
  // The entries with an index by host. Not locked itself: SiteList guards it.
  struct Table {
    std::vector<std::unique_ptr<SiteEntry>> entries;
    // Exact, case-sensitive host to its entry in `entries`, so a lookup does not walk the list.
    std::unordered_map<std::string, SiteEntry*, HostHash, std::equal_to<>> byHost;

    // True when the host was added or its type changed.
    bool Put(std::string_view host, int type, bool overwrite);
    const SiteEntry* Find(std::string_view host) const;
  };
  struct ParsedValue {
    std::string host;
    int type = kSiteNormal;
  };

  // Reads one value of a profile file or text: (section, key) to the value, "" when missing.
  using ValueReader = std::function<std::string(const char* section, const char* key)>;

  static ValueReader FileReader(const std::string& file);
  static ParsedValue ParseValue(std::string_view value);
  static std::vector<ParsedValue> ReadSection(const ValueReader& read, const char* section);
  bool Merge(const ValueReader& read);

  mutable std::shared_mutex m_lock;
  Table m_table;       // guarded by m_lock
  std::string m_file;  // guarded by m_lock
  // Keeps two saves from interleaving their writes, so the file ends with the later list.
  mutable std::mutex m_saveLock;
};

// Merges a delivered site list `bytes` into App().sites and, when that changed the list, saves
// the list to its own file at once. A delivered file of another name (a relative name that
// stays inside the categories folder) is also stored under that name; one named as the list's
// own file is never written over it, so the user's marks are on disk at every moment. False,
// with the error logged, when the name is refused or a file cannot be written.
bool InstallSites(const std::string& fileName, std::string_view bytes);

// Sets the type of the host of `href` in App().sites and saves the list (the result commands
// of the user interface).
bool SetSiteTypeAndSave(std::string_view href, int type);

}  // namespace tulix
