#include "definitions/site_list.h"

#include <iterator>
#include <utility>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/token_splitter.h"
#include "definitions/safe_name.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/url.h"

namespace tulix {

namespace {

struct SiteTypeWords {
  const char* file;
  const char* display;
};

const SiteTypeWords kSiteTypeWords[] = {
    {"Normal", "Normal"},
    {"Shop", "Shopping"},
    {"PShop", "Preferred Shopping"},
    {"Blacklist", "Blocked"},
};

constexpr int kSiteTypeCount = static_cast<int>(std::size(kSiteTypeWords));

// A value of sites.sit longer than this is cut; no host name comes near it.
constexpr size_t kMaxSiteValue = 9999;

// A host that goes back into the file must stay one value of one line and come back as the
// same second piece: no blanks, no line ends or other control bytes.
bool IsStorableHost(std::string_view host) {
  if (host.empty()) {
    return false;
  }
  for (char c : host) {
    auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F) {
      return false;
    }
  }
  return true;
}

}  // namespace

const char* SiteTypeFileWord(int type) {
  return IsValidSiteType(type) ? kSiteTypeWords[type].file : kSiteTypeWords[0].file;
}

const char* SiteTypeDisplayWord(int type) {
  return IsValidSiteType(type) ? kSiteTypeWords[type].display : kSiteTypeWords[0].display;
}

int ParseSiteType(std::string_view fileWord) {
  for (int type = 0; type < kSiteTypeCount; ++type) {
    if (fileWord == kSiteTypeWords[type].file) {
      return type;
    }
  }
  return kSiteNormal;
}

bool IsValidSiteType(int type) {
  return type >= 0 && type < kSiteTypeCount;
}

bool SiteList::Table::Put(std::string_view host, int type, bool overwrite) {
  auto found = byHost.find(host);
  if (found == byHost.end()) {
    auto entry = std::make_unique<SiteEntry>(SiteEntry{std::string(host), type});
    byHost.emplace(entry->host, entry.get());
    entries.push_back(std::move(entry));
    return true;
  }
  if (!overwrite || found->second->type == type) {
    return false;
  }
  found->second->type = type;
  return true;
}

const SiteEntry* SiteList::Table::Find(std::string_view host) const {
  auto found = byHost.find(host);
  return found == byHost.end() ? nullptr : found->second;
}

SiteList::SiteList() = default;
SiteList::~SiteList() = default;

SiteList::ParsedValue SiteList::ParseValue(std::string_view value) {
  ParsedValue parsed;
  size_t used = 0;
  parsed.type = ParseSiteType(GetToken(value, " ", false, &used));
  if (used < value.size()) {
    parsed.host = GetToken(value.substr(used), " ", false);
  }
  return parsed;
}

std::vector<SiteList::ParsedValue> SiteList::ReadSection(const ValueReader& read,
                                                         const char* section) {
  std::vector<ParsedValue> values;
  for (int i = 0;; ++i) {
    std::string key = std::to_string(i);
    std::string value = read(section, key.c_str());
    if (value.empty()) {
      break;
    }
    values.push_back(ParseValue(value));
  }
  return values;
}

SiteList::ValueReader SiteList::FileReader(const std::string& file) {
  return [&file](const char* section, const char* key) {
    return GetPrivateProfileString(section, key, "", file, kMaxSiteValue + 1);
  };
}

void SiteList::Load(const std::string& file) {
  std::vector<ParsedValue> values = ReadSection(FileReader(file), "sites");
  Table fresh;
  for (const ParsedValue& v : values) {
    fresh.Put(v.host, v.type, true);
  }
  {
    std::unique_lock lock(m_lock);
    m_file = file;
    std::swap(m_table, fresh);
  }
  // `fresh` now holds the old entries, freed here outside the lock.
}

void SiteList::AddFromString(std::string_view value, bool overwrite) {
  ParsedValue parsed = ParseValue(value);
  std::unique_lock lock(m_lock);
  m_table.Put(parsed.host, parsed.type, overwrite);
}

bool SiteList::MergeFromFile(const std::string& file) {
  return Merge(FileReader(file));
}

bool SiteList::MergeFromText(std::string_view text) {
  const ProfileText profile(text);
  return Merge([&profile](const char* section, const char* key) {
    return profile.GetString(section, key, "", kMaxSiteValue + 1);
  });
}

bool SiteList::Merge(const ValueReader& read) {
  std::vector<ParsedValue> sites = ReadSection(read, "sites");
  std::vector<ParsedValue> overrides = ReadSection(read, "override");
  bool changed = false;
  std::unique_lock lock(m_lock);
  for (const ParsedValue& v : sites) {
    changed = m_table.Put(v.host, v.type, false) || changed;
  }
  for (const ParsedValue& v : overrides) {
    changed = m_table.Put(v.host, v.type, true) || changed;
  }
  return changed;
}

bool SiteList::Save() const {
  std::lock_guard saveLock(m_saveLock);
  std::string file;
  std::vector<std::string> values;
  {
    std::shared_lock lock(m_lock);
    file = m_file;
    values.reserve(m_table.entries.size());
    for (const auto& entry : m_table.entries) {
      values.push_back(std::string(SiteTypeFileWord(entry->type)) + " " + entry->host);
    }
  }
  if (file.empty()) {
    LogMessage(0, kLogError, "The site list has no file to be saved to");
    return false;
  }
  bool written = true;
  {
    // One replacement of the file for the whole list: a crash never leaves half a list.
    ProfileBatch batch(file);
    written = WritePrivateProfileString("sites", nullptr, nullptr, file);
    for (size_t i = 0; written && i < values.size(); ++i) {
      written =
          WritePrivateProfileString("sites", std::to_string(i).c_str(), values[i].c_str(), file);
    }
    written = batch.Commit() && written;
  }
  if (!written) {
    LogMessage(0, kLogError, "Cannot write the site list to %s", file.c_str());
  }
  return written;
}

int SiteList::TypeOf(std::string_view href) const {
  ParsedUrl url;
  if (!ParseUrl(href, &url)) {
    return kSiteNormal;
  }
  return TypeOfHost(url.server);
}

int SiteList::TypeOfHost(std::string_view host) const {
  // An entry with an empty host comes from a malformed value and must never match.
  if (host.empty()) {
    return kSiteNormal;
  }
  std::shared_lock lock(m_lock);
  const SiteEntry* entry = m_table.Find(host);
  return entry == nullptr ? kSiteNormal : entry->type;
}

bool SiteList::SetType(std::string_view href, int type) {
  ParsedUrl url;
  if (!ParseUrl(href, &url)) {
    return false;
  }
  return SetHostType(url.server, type);
}

bool SiteList::SetHostType(std::string_view host, int type) {
  if (!IsValidSiteType(type) || !IsStorableHost(host)) {
    return false;
  }
  std::unique_lock lock(m_lock);
  m_table.Put(host, type, true);
  return true;
}

std::string SiteList::FileName() const {
  std::shared_lock lock(m_lock);
  return m_file;
}

int SiteList::size() const {
  std::shared_lock lock(m_lock);
  return static_cast<int>(m_table.entries.size());
}

std::vector<SiteEntry> SiteList::Snapshot() const {
  std::shared_lock lock(m_lock);
  std::vector<SiteEntry> copies;
  copies.reserve(m_table.entries.size());
  for (const auto& entry : m_table.entries) {
    copies.push_back(*entry);
  }
  return copies;
}

bool InstallSites(const std::string& fileName, std::string_view bytes) {
  if (!IsSafeRelativePath(fileName)) {
    LogMessage(0, kLogError, "Refusing to install %s: the name leaves the categories folder",
               fileName.c_str());
    return false;
  }
  std::string path = JoinPath(GetCategoriesFolder(), fileName);
  SiteList* sites = App().sites.get();
  const std::string listFile = sites == nullptr ? std::string() : sites->FileName();
  // Writing a delivered sites.sit over the user's would lose every mark made since the last
  // save if the program ended before the merged list was written back.
  if (path != listFile) {
    MakeFolders(FolderOf(path));
    if (!WriteFileAtomically(path, bytes)) {
      LogMessage(0, kLogError, "Cannot open %s for writing, category not updated", path.c_str());
      return false;
    }
  }
  if (sites == nullptr) {
    return true;
  }
  // Kept in memory only, hosts merged from a file of another name would be gone at the next
  // start, as only the list's own file is read then. A list not loaded from a file has nowhere
  // to go.
  if (!sites->MergeFromText(bytes) || listFile.empty()) {
    return true;
  }
  return sites->Save();
}

bool SetSiteTypeAndSave(std::string_view href, int type) {
  SiteList* sites = App().sites.get();
  if (sites == nullptr || !sites->SetType(href, type)) {
    return false;
  }
  return sites->Save();
}

}  // namespace tulix
