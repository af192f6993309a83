#include "platform/url.h"

#include <cctype>

namespace tulix {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

void AppendPercentEncoded(std::string& out, unsigned char byte) {
  out += '%';
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

bool IsSchemeChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

struct Scheme {
  const char* name;
  uint32_t service;
  uint16_t port;
};

const Scheme kSchemes[] = {
    {"http", kServiceHttp, 80},     {"https", kServiceHttps, 443}, {"ftp", kServiceFtp, 21},
    {"gopher", kServiceGopher, 70}, {"file", kServiceFile, 0},     {"mailto", kServiceMailto, 0},
    {"news", kServiceNews, 0},
};

Scheme LookUpScheme(std::string_view name) {
  for (const Scheme& s : kSchemes) {
    if (EqualsNoCase(name, s.name)) {
      return s;
    }
  }
  return {"", kServiceUnknown, 0};
}

// Parses a decimal port of 1 to 5 digits; false for anything else.
bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value > 65535) {
    return false;
  }
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseUrl(std::string_view url, ParsedUrl* out) {
  size_t colon = url.find(':');
  if (colon == 0 || colon == std::string_view::npos || url.substr(colon, 3) != "://") {
    return false;
  }
  std::string_view schemeName = url.substr(0, colon);
  for (char c : schemeName) {
    if (!IsSchemeChar(c)) {
      return false;
    }
  }
  std::string_view rest = url.substr(colon + 3);
  size_t hostEnd = rest.find_first_of("/?#");
  std::string_view host = rest.substr(0, hostEnd);
  std::string_view object =
      hostEnd == std::string_view::npos ? std::string_view() : rest.substr(hostEnd);

  size_t at = host.rfind('@');
  if (at != std::string_view::npos) {
    host.remove_prefix(at + 1);
  }
  Scheme scheme = LookUpScheme(schemeName);
  uint16_t port = scheme.port;
  size_t portColon = host.rfind(':');
  if (portColon != std::string_view::npos) {
    std::string_view portText = host.substr(portColon + 1);
    host = host.substr(0, portColon);
    if (!portText.empty() && !ParsePort(portText, &port)) {
      return false;
    }
  }
  if (host.empty() || host.size() > kMaxUrlLength || object.size() >= kMaxUrlLength) {
    return false;
  }

  out->serviceType = scheme.service;
  out->server = std::string(host);
  out->object.clear();
  if (object.empty() || object[0] != '/') {
    out->object += '/';
  }
  out->object += object;
  out->port = port;
  return true;
}

bool HasControlCharacters(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      return true;
    }
  }
  return false;
}

std::string EncodeUnsafeAddressBytes(std::string_view address) {
  std::string out;
  out.reserve(address.size());
  for (char c : address) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '"' || c == '<' || c == '>') {
      AppendPercentEncoded(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodeQueryValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
        (byte >= 'A' && byte <= 'Z') || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      AppendPercentEncoded(out, byte);
    }
  }
  return out;
}

}  // namespace tulix
