#include "engine/address_resolution.h"

#include "base/log.h"
#include "base/settings.h"
#include "engine/page_scanner.h"
#include "platform/url.h"

namespace tulix {

namespace {

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

std::string RootOf(const ParsedUrl& url) {
  return ServerRoot(UsesHttps(url), url.server, url.port);
}

void WarnUnparsable(std::string_view base, std::string_view link) {
  std::string b(base);
  std::string l(link);
  LogMessage(kLogStatusBar, kLogWarning, "Cannot parse address <%s>,<%s>", b.c_str(), l.c_str());
}

bool IsAbsolute(std::string_view link) {
  ParsedUrl url;
  return ParseUrl(link, &url) && url.port != 0;
}

// A link that is neither absolute nor rooted ("x.htm", "?q=2", ""), against the base's folder.
std::string ResolveRelative(std::string_view base, std::string_view link) {
  std::string directory, file, query;
  if (!SplitBaseAddress(base, &directory, &file, &query)) {
    if (!base.empty() || !link.empty()) {
      WarnUnparsable(base, link);
    }
    return std::string(link);
  }
  if (link.empty() || link.front() != '?') {
    return JoinWithSeparator(directory, link, '/');
  }
  // A query alone replaces the base page's query. The page is the folder and the file as they
  // stand; joining them with the separator rule would drop the folder's "/" when the file is
  // empty and so name another page ("http://h/a/?x" would become "http://h/a?y").
  return JoinWithSeparator(directory + file, link, '?');
}

// A link that starts with "/", against the base's server.
std::string ResolveRooted(std::string_view base, std::string_view link) {
  std::string root, object;
  if (!RootAddress(base, &root, &object)) {
    WarnUnparsable(base, link);
    return std::string(link);
  }
  return root + std::string(link);
}

}  // namespace

bool UsesHttps(const ParsedUrl& url) {
  return url.serviceType == kServiceHttps && SecureWebOn();
}

bool IsWebService(uint32_t serviceType) {
  return serviceType == kServiceHttp || (serviceType == kServiceHttps && SecureWebOn());
}

std::string ServerRoot(bool secure, std::string_view host, uint16_t port) {
  std::string root = secure ? "https://" : "http://";
  root += host;
  if (port != (secure ? kHttpsPort : kHttpPort)) {
    root += ':';
    root += std::to_string(port);
  }
  return root;
}

std::string JoinWithSeparator(std::string_view a, std::string_view b, char separator) {
  std::string joined(a);
  if (!joined.empty()) {
    bool endsWithSeparator = joined.back() == separator;
    if (!endsWithSeparator && !b.empty()) {
      joined += separator;
    } else if (endsWithSeparator && b.empty()) {
      joined.pop_back();
    }
  }
  if (!b.empty() && b.front() == separator) {
    b.remove_prefix(1);
  }
  joined.append(b);
  return joined;
}

bool SplitBaseAddress(std::string_view base, std::string* directory, std::string* file,
                      std::string* query) {
  ParsedUrl url;
  if (!ParseUrl(base, &url)) {
    return false;
  }
  const std::string& object = url.object;
  size_t question = object.find('?');
  size_t fileEnd = question == std::string::npos ? object.size() : question;
  // The last "/" before the query; the object's start when none stands there.
  size_t slash = fileEnd == 0 ? std::string::npos : object.rfind('/', fileEnd - 1);
  size_t fileStart = slash == std::string::npos ? 0 : slash + 1;
  *directory = RootOf(url) + object.substr(0, fileStart);
  *file = object.substr(fileStart, fileEnd - fileStart);
  *query = question == std::string::npos ? std::string() : object.substr(question);
  return true;
}

bool RootAddress(std::string_view base, std::string* root, std::string* object) {
  ParsedUrl url;
  if (!ParseUrl(base, &url)) {
    return false;
  }
  *root = RootOf(url);
  *object = url.object;
  return true;
}

std::string ResolveAddress(std::string_view base, std::string_view link) {
  std::string t(link);
  if (t.size() > 2 && t.starts_with("//")) {
    ParsedUrl url;
    t.insert(0, ParseUrl(base, &url) && UsesHttps(url) ? "https:" : "http:");
  }
  if (!IsAbsolute(t)) {
    t = t.starts_with('/') ? ResolveRooted(base, t) : ResolveRelative(base, t);
  }
  return DecodeEntities(t);
}

}  // namespace tulix
