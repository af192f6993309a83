#include "update/upgrade_list.h"

#include <algorithm>
#include <charconv>

#include "base/application.h"
#include "base/ascii_case.h"
#include "base/settings.h"
#include "base/token_splitter.h"
#include "definitions/safe_name.h"
#include "platform/registry_store.h"
#include "platform/url.h"

#ifndef TULIX_DEFAULT_UPDATE_SERVER
#define TULIX_DEFAULT_UPDATE_SERVER "localhost:8080"
#endif

namespace tulix {
namespace {

constexpr std::string_view kLineDelimiters = "\r\n";
constexpr std::string_view kListObject = "/tulix/getupgradelist.php";
constexpr std::string_view kFileObjectPrefix = "/tulix/categories/";
// Longer paths are no file name any server publishes; refusing them keeps a hostile list from
// making requests and file names of many kilobytes.
constexpr size_t kMaxUpgradePathLength = 1024;

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 32 || byte == 127;
}

// Cuts the next field off `rest` at `delimiters`.
std::string NextToken(std::string_view& rest, std::string_view delimiters) {
  size_t end = 0;
  std::string token = GetToken(rest, delimiters, false, &end);
  rest.remove_prefix(std::min(end, rest.size()));
  return token;
}

void AddEntry(std::string_view line, UpgradeList& list) {
  std::string folder = NextToken(line, "|");
  std::string file = NextToken(line, "|");
  std::string stamp = NextToken(line, "|");
  std::string extra = NextToken(line, "|");
  if (stamp.empty()) {
    return;
  }
  if (!IsPlainDecimal(stamp)) {
    ++list.skippedLines;
    return;
  }
  UpgradeFileEntry& entry = list.files.emplace_back();
  entry.path = folder.empty() ? std::move(file) : folder + "\\" + file;
  entry.stamp = std::move(stamp);
  entry.extra = std::move(extra);
}

}  // namespace

bool IsPlainDecimal(std::string_view stamp) {
  if (stamp.empty() || std::count(stamp.begin(), stamp.end(), '.') > 1 || stamp == ".") {
    return false;
  }
  return std::all_of(stamp.begin(), stamp.end(),
                     [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

UpgradeList ParseUpgradeList(std::string_view text) {
  UpgradeList list;
  std::string_view rest = text;
  const std::string first = NextToken(rest, kLineDelimiters);
  if (std::from_chars(first.data(), first.data() + first.size(), list.notice).ec != std::errc{}) {
    list.notice = 0;
  }
  while (!rest.empty()) {
    const std::string line = NextToken(rest, kLineDelimiters);
    if (!line.empty()) {
      AddEntry(line, list);
    }
  }
  return list;
}

std::vector<std::string> SplitCategoryNames(std::string_view names) {
  std::vector<std::string> list;
  while (!names.empty()) {
    std::string name = NextToken(names, "|");
    if (!name.empty()) {
      list.push_back(std::move(name));
    }
  }
  return list;
}

std::optional<std::string> BuildUpgradeListObject(const UpgradeListQuery& query,
                                                  std::string* refused) {
  const std::pair<const char*, const std::string*> parameters[] = {
      {"ctimestamp", &query.ctimestamp},
      {"timestamp", &query.timestamp},
      {"category", &query.category},
      {"v", &query.version},
      {"d", &query.domains},
  };
  std::string object(kListObject);
  char separator = '?';
  for (const auto& [name, value] : parameters) {
    if (HasControlCharacters(*value)) {
      if (refused != nullptr) {
        *refused = name;
      }
      return std::nullopt;
    }
    object += separator;
    object += name;
    object += '=';
    object += *value;
    separator = '&';
  }
  object += query.fullDownload ? "&a=1" : "&a=0";
  if (query.fromBrowserLibrary) {
    object += "&b=1";
  }
  return object;
}

std::string UpgradeFileObject(std::string_view path) {
  std::string object(kFileObjectPrefix);
  object += path;
  std::replace(object.begin() + static_cast<std::ptrdiff_t>(kFileObjectPrefix.size()), object.end(),
               '\\', '/');
  return object;
}

bool IsSafeUpgradePath(std::string_view path) {
  return path.size() <= kMaxUpgradePathLength && IsSafeRelativePath(path);
}

bool IsWebPageEntry(std::string_view path) {
  return path.starts_with("http:");
}

bool IsWebPageEntryForBrowserLibrary(std::string_view path) {
  return IsWebPageEntry(path) || path.ends_with(".php") || path.ends_with(".htm") ||
         path.ends_with(".html");
}

namespace {

// An address without blanks, control characters or quotes that parses, with a server, as a
// service of `type`.
bool IsCleanAddressOf(std::string_view address, uint32_t type) {
  if (address.size() > kMaxUrlLength ||
      std::any_of(address.begin(), address.end(),
                  [](char c) { return IsControl(c) || c == ' ' || c == '"'; })) {
    return false;
  }
  ParsedUrl url;
  return ParseUrl(address, &url) && url.serviceType == type && !url.server.empty();
}

}  // namespace

bool IsPlainHttpAddress(std::string_view address) {
  return address.starts_with("http://") && IsCleanAddressOf(address, kServiceHttp);
}

bool IsWebAddressToFollow(std::string_view address) {
  return IsPlainHttpAddress(address) || (SecureWebOn() && address.starts_with("https://") &&
                                         IsCleanAddressOf(address, kServiceHttps));
}

std::optional<UpdateServerAddress> ParseUpdateServer(std::string_view text) {
  UpdateServerAddress address;
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (text.size() > scheme.size() && StartsWithIgnoringCase(text, scheme)) {
      address.secure = scheme == "https://";
      if (address.secure && !SecureWebOn()) {
        return std::nullopt;
      }
      text.remove_prefix(scheme.size());
      if (text.ends_with('/')) {
        text.remove_suffix(1);
      }
      break;
    }
  }
  if (address.secure) {
    address.port = 443;
  }
  const size_t colon = text.find(':');
  address.host = std::string(text.substr(0, colon));
  if (address.host.empty() || HasControlCharacters(address.host) ||
      address.host.find_first_of(" /?#@") != std::string::npos) {
    return std::nullopt;
  }
  if (colon != std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (error != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    address.port = static_cast<uint16_t>(value);
  }
  return address;
}

std::string_view DefaultUpdateServer() {
  return TULIX_DEFAULT_UPDATE_SERVER;
}

namespace {
std::string UpdateServerValue() {
  return App().registry().GetString(std::string(kRegistryRoot) + "\\Behaviour", "UpdateServer",
                                    "");
}
}  // namespace

std::string UpdateServerSetting() {
  std::string value = UpdateServerValue();
  return value.empty() ? std::string(DefaultUpdateServer()) : value;
}

bool UpdateServerIsSet() {
  return !UpdateServerValue().empty();
}

}  // namespace tulix
