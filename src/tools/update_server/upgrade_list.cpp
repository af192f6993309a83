#include "tools/update_server/upgrade_list.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "engine/script_actions.h"

namespace tulix::update_server {

namespace {

// The stamp a client holds; nullopt when it holds none and so wants everything.
std::optional<double> HeldStamp(std::string_view text) {
  double value = 0;
  if (!ParseStamp(text, &value)) {
    return std::nullopt;
  }
  return value;
}

bool IsNewer(const CatalogueEntry& entry, const std::optional<double>& held) {
  return !held || entry.stampValue > *held;
}

bool AsksForEverything(std::string_view all) {
  int value = 0;
  auto result = std::from_chars(all.data(), all.data() + all.size(), value);
  return result.ec == std::errc() && value != 0;
}

std::vector<std::string_view> Components(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find('\\', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// True when one of the folder's names is an asked category: a category covers its own folder
// and the folders of its sub-categories.
bool CoveredBy(std::string_view folder, const std::vector<std::string>& names) {
  for (std::string_view part : Components(folder)) {
    if (std::find(names.begin(), names.end(), part) != names.end()) {
      return true;
    }
  }
  return false;
}

bool InsideAny(std::string_view folder, const std::vector<std::string>& categoryPaths) {
  for (const std::string& category : categoryPaths) {
    if (folder == category || (folder.starts_with(category) && folder.size() > category.size() &&
                               folder[category.size()] == '\\')) {
      return true;
    }
  }
  return false;
}

void AppendLine(std::string& list, const CatalogueEntry& entry) {
  list += entry.folder;
  list += '|';
  list += entry.file;
  list += '|';
  list += entry.stamp;
  list += '|';
  list += entry.extra;
  list += '\n';
}

}  // namespace

ListQuery ParseListQuery(std::string_view target) {
  ListQuery query;
  const size_t mark = target.find('?');
  std::string_view rest = mark == std::string_view::npos ? "" : target.substr(mark + 1);
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('&'), rest.size());
    const std::string_view pair = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t equals = std::min(pair.find('='), pair.size());
    const std::string_view name = pair.substr(0, equals);
    std::string value = PercentDecode(pair.substr(std::min(equals + 1, pair.size())));
    if (name == "ctimestamp") {
      query.ctimestamp = std::move(value);
    } else if (name == "timestamp") {
      query.timestamp = std::move(value);
    } else if (name == "category") {
      query.category = std::move(value);
    } else if (name == "v") {
      query.version = std::move(value);
    } else if (name == "d") {
      query.domains = std::move(value);
    } else if (name == "a") {
      query.all = std::move(value);
    }
  }
  return query;
}

std::vector<std::string> CategoryNames(std::string_view category) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start < category.size()) {
    const size_t end = std::min(category.find('|', start), category.size());
    if (end > start) {
      names.emplace_back(category.substr(start, end - start));
    }
    start = end + 1;
  }
  return names;
}

std::string BuildUpgradeList(const Catalogue& catalogue, const ListQuery& query, int notice) {
  const bool everything = AsksForEverything(query.all);
  const std::optional<double> programStamp =
      everything ? std::nullopt : HeldStamp(query.ctimestamp);
  const std::optional<double> categoryStamp =
      everything ? std::nullopt : HeldStamp(query.timestamp);
  const std::vector<std::string> names = CategoryNames(query.category);

  char number[16];
  auto written = std::to_chars(number, number + sizeof number, notice);
  std::string list(number, written.ptr);
  list += '\n';

  // The entries are sorted with every category file before the folder files, so the new
  // categories are known before the folders are looked at, and the program installs each
  // category before its engines.
  std::vector<std::string> newCategories;
  for (const CatalogueEntry& entry : catalogue.entries) {
    if (!entry.settled) {
      continue;
    }
    if (entry.kind != EntryKind::kFolderFile) {
      if (!IsNewer(entry, programStamp)) {
        continue;
      }
      if (entry.kind == EntryKind::kCategoryFile && !CoveredBy(entry.CategoryPath(), names)) {
        newCategories.push_back(entry.CategoryPath());
      }
    } else if (!(CoveredBy(entry.folder, names) && IsNewer(entry, categoryStamp)) &&
               !InsideAny(entry.folder, newCategories)) {
      continue;
    }
    AppendLine(list, entry);
  }
  return list;
}

}  // namespace tulix::update_server
