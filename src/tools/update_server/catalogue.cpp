#include "tools/update_server/catalogue.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <set>
#include <tuple>

#include "platform/file_system.h"
#include "platform/paths.h"

namespace tulix::update_server {

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

std::string_view StemOf(std::string_view name) {
  return name.substr(0, name.rfind('.'));
}

// A name goes into a list line and into the address the program asks for, unescaped, and the
// program reads the line with its token splitter: a character that ends a field, opens a
// quote, starts a query or an escape, or is trimmed away would change the name on the way.
bool IsPublishableName(std::string_view name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ' || name.front() == '\t' ||
      name.back() == '\t' || name.starts_with("http:")) {
    return false;
  }
  for (unsigned char c : name) {
    if (c < 32 || c == 127 ||
        std::string_view("|\"'\\%?#").find(static_cast<char>(c)) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

std::string NormalizeSeparators(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

class Walker {
 public:
  Walker(const CatalogueOptions& options, Catalogue& out) : m_options(options), m_out(out) {
    if (!options.manifest.empty()) {
      m_manifest = std::filesystem::path(options.manifest);
    }
  }

  // Lists `folder` (relative, backslash-joined) and everything below it.
  bool Walk(const std::string& folder) {
    const std::string full = folder.empty() ? m_options.root : JoinPath(m_options.root, folder);
    auto id = FolderIdOf(full);
    // A link back to a folder already walked would list the same files forever.
    if (!id || !m_seen.insert(*id).second) {
      return id.has_value();
    }
    auto listing = ListFolder(full);
    if (!listing) {
      m_out.warnings.push_back("cannot list the folder " + ToFileSystemPath(full));
      return false;
    }
    std::sort(listing->begin(), listing->end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    std::set<std::string_view> categoryStems;
    for (const FolderEntry& entry : *listing) {
      if (entry.kind == tulix::EntryKind::kFolder) {
        categoryStems.insert(entry.name);
      } else if (EndsWith(entry.name, ".cat")) {
        categoryStems.insert(StemOf(entry.name));
      }
    }
    for (const FolderEntry& entry : *listing) {
      const std::string path = JoinPath(folder, entry.name);
      if (entry.kind == tulix::EntryKind::kOther) {
        continue;
      }
      if (!IsPublishableName(entry.name)) {
        m_out.warnings.push_back("not published, its name cannot travel in a list line: " + path);
        continue;
      }
      if (entry.kind == tulix::EntryKind::kFolder) {
        Walk(path);
        continue;
      }
      AddFile(folder, entry.name, categoryStems.contains(StemOf(entry.name)));
    }
    return true;
  }

 private:
  void AddFile(const std::string& folder, const std::string& name, bool namesACategory) {
    const std::string full = JoinPath(m_options.root, JoinPath(folder, name));
    if (IsManifest(full)) {
      return;
    }
    CatalogueEntry entry;
    entry.folder = folder;
    entry.file = name;
    if (EndsWith(name, ".cat") || (EndsWith(name, ".ico") && namesACategory)) {
      entry.kind = EntryKind::kCategoryFile;
    } else if (folder.empty()) {
      // The program takes an engine's category from its folder; one at the top has none.
      if (EndsWith(name, ".ini")) {
        m_out.warnings.push_back("not published, an engine outside any category folder: " + name);
        return;
      }
      entry.kind = EntryKind::kProgramFile;
    } else {
      entry.kind = EntryKind::kFolderFile;
    }
    auto mtime = ModificationTimeOf(full);
    if (!mtime) {
      return;
    }
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, *mtime);
    entry.stamp.assign(text, result.ptr);
    entry.stampValue = static_cast<double>(*mtime);
    entry.settled = *mtime < m_options.now;
    m_out.entries.push_back(std::move(entry));
  }

  bool IsManifest(const std::string& full) const {
    std::error_code error;
    return m_manifest && std::filesystem::equivalent(*m_manifest, ToFileSystemPath(full), error);
  }

  const CatalogueOptions& m_options;
  Catalogue& m_out;
  std::optional<std::filesystem::path> m_manifest;
  std::set<FileId> m_seen;
};

// One manifest line: "path|stamp" or "path|stamp|extra". The path names a published file with
// either separator, or is an address starting "http:" that the program opens in the browser.
void ApplyManifestLine(std::string_view line, size_t number, Catalogue& catalogue) {
  const std::string where = "manifest line " + std::to_string(number) + ": ";
  const size_t bar = line.find('|');
  if (bar == std::string_view::npos) {
    catalogue.warnings.push_back(where + "no stamp after the path");
    return;
  }
  const std::string_view path = Trim(line.substr(0, bar));
  std::string_view stamp = line.substr(bar + 1);
  std::string_view extra;
  if (const size_t second = stamp.find('|'); second != std::string_view::npos) {
    extra = stamp.substr(second + 1);
    stamp = stamp.substr(0, second);
  }
  stamp = Trim(stamp);
  double value = 0;
  if (!ParseStamp(stamp, &value)) {
    catalogue.warnings.push_back(where + "the stamp is not a decimal number");
    return;
  }
  if (extra.find('|') != std::string_view::npos) {
    catalogue.warnings.push_back(where + "more than three fields");
    return;
  }
  CatalogueEntry* entry = nullptr;
  if (path.starts_with("http:")) {
    if (std::any_of(path.begin(), path.end(),
                    [](unsigned char c) { return c <= 32 || c == 127 || c == '"'; })) {
      catalogue.warnings.push_back(where + "the address holds a blank or a control character");
      return;
    }
    entry = &catalogue.entries.emplace_back();
    entry->kind = EntryKind::kWebPage;
    entry->file = path;
  } else {
    entry = catalogue.FindFile(path);
    if (entry == nullptr) {
      catalogue.warnings.push_back(where + "no published file " + std::string(path));
      return;
    }
  }
  entry->stamp = stamp;
  entry->stampValue = value;
  entry->extra = extra;
  // The publisher chose this stamp; there is no second to wait for.
  entry->settled = true;
}

bool ReadManifest(const std::string& file, Catalogue& catalogue) {
  auto text = ReadWholeFile(file);
  if (!text) {
    catalogue.warnings.push_back("cannot read the manifest " + file);
    return false;
  }
  std::string_view rest = *text;
  for (size_t number = 1; !rest.empty(); ++number) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = Trim(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (!line.empty() && line.front() != '#') {
      ApplyManifestLine(line, number, catalogue);
    }
  }
  return true;
}

}  // namespace

std::string CatalogueEntry::Path() const {
  return JoinPath(folder, file);
}

std::string CatalogueEntry::CategoryPath() const {
  return JoinPath(folder, StemOf(file));
}

const CatalogueEntry* Catalogue::FindFile(std::string_view path) const {
  return const_cast<Catalogue*>(this)->FindFile(path);
}

CatalogueEntry* Catalogue::FindFile(std::string_view path) {
  const std::string wanted = NormalizeSeparators(path);
  for (CatalogueEntry& entry : entries) {
    if (entry.kind != EntryKind::kWebPage && entry.Path() == wanted) {
      return &entry;
    }
  }
  return nullptr;
}

Catalogue BuildCatalogue(const CatalogueOptions& options) {
  Catalogue catalogue;
  catalogue.rootRead = Walker(options, catalogue).Walk("");
  if (!options.manifest.empty()) {
    catalogue.manifestRead = ReadManifest(options.manifest, catalogue);
  }
  auto key = [](const CatalogueEntry& entry) {
    return std::make_tuple(static_cast<int>(entry.kind), entry.Path());
  };
  std::stable_sort(
      catalogue.entries.begin(), catalogue.entries.end(),
      [&key](const CatalogueEntry& a, const CatalogueEntry& b) { return key(a) < key(b); });
  return catalogue;
}

bool ParseStamp(std::string_view text, double* value) {
  const size_t dots = std::count(text.begin(), text.end(), '.');
  if (text.empty() || text == "." || dots > 1 ||
      text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return false;
  }
  auto result = std::from_chars(text.data(), text.data() + text.size(), *value);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace tulix::update_server
