// Link rewriting, result anchors and result extraction for the engine script's actions.
#include "engine/script_actions.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii_case.h"
#include "base/token_splitter.h"
#include "engine/address_resolution.h"
#include "engine/page_scanner.h"
#include "platform/trace.h"
#include "platform/url.h"

namespace tulix {

namespace {

// The end tag of the title marker that MARKTITLEEND appends to a result.
constexpr int kTulixTitleEndId = kTagTulixTitle + kEndTagBit;
constexpr int kAnchorEndId = kTagA + kEndTagBit;
constexpr int kScriptEndId = kTagScript + kEndTagBit;

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether a decoded byte may stand in an address as it is. Result addresses go into request
// lines, stored result files and the hit's mark-up ("<a href=ADDRESS>", unquoted), none of
// which survives a control character, a blank, a quote or an angle bracket in an address. A
// valid address never holds those bytes raw, so their escapes stay encoded rather than let a
// page smuggle them in.
bool SafeInAddress(int byte) {
  return byte > 32 && byte != 127 && byte != '"' && byte != '<' && byte != '>';
}

std::string DecodeAddress(std::string_view text, bool safeOnly) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int high = HexDigitValue(text[i + 1]);
      int low = HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        int byte = high * 16 + low;
        if (!safeOnly || SafeInAddress(byte)) {
          out += static_cast<char>(byte);
          i += 3;
          continue;
        }
      }
    }
    out += text[i];
    ++i;
  }
  return out;
}

// The search words of a search text, split once so that a result's many text tokens can be
// highlighted without splitting it again for each.
class SearchWords {
 public:
  explicit SearchWords(std::string_view searchText) {
    // Words are separated by single blanks; two blanks in a row end the list.
    while (true) {
      size_t blank = searchText.find(' ');
      std::string_view word = searchText.substr(0, blank);
      if (word.empty()) {
        break;
      }
      m_words.push_back(word);
      if (blank == std::string_view::npos) {
        break;
      }
      searchText.remove_prefix(blank + 1);
    }
  }

  bool empty() const { return m_words.empty(); }

  bool Contains(std::string_view piece) const {
    for (std::string_view word : m_words) {
      if (EqualsIgnoringCase(word, piece)) {
        return true;
      }
    }
    return false;
  }

  std::string Highlight(std::string_view text, std::string_view format) const {
    if (m_words.empty()) {
      return std::string(text);
    }
    size_t hole = format.find("%s");
    std::string out;
    out.reserve(text.size() + 16);
    size_t i = 0;
    while (i < text.size()) {
      if (!IsAsciiLetter(text[i])) {
        out += text[i];
        ++i;
        continue;
      }
      size_t end = i;
      while (end < text.size() && IsAsciiLetter(text[end])) {
        ++end;
      }
      std::string_view piece = text.substr(i, end - i);
      if (Contains(piece)) {
        if (hole == std::string_view::npos) {
          out += format;
        } else {
          out.append(format.substr(0, hole));
          out.append(piece);
          out.append(format.substr(hole + 2));
        }
      } else {
        out.append(piece);
      }
      i = end;
    }
    return out;
  }

 private:
  std::vector<std::string_view> m_words;  // views into the search text given to the constructor
};

// What step one of extraction gathers from the scanned result text.
struct CollectedParts {
  std::string text;    // T: the description, with the chosen anchor and the link ends
  std::string title;   // S: everything before the title marker, when there was one
  std::string anchor;  // H: the chosen anchor's start tag
};

CollectedParts CollectParts(const EngineData& engine, const SearchWords& words,
                            std::string_view collected) {
  CollectedParts parts;
  PageScanner scanner(collected);
  int anchors = 0;
  bool inScript = false;
  for (const PageToken* token = scanner.First(); token != nullptr; token = scanner.Next()) {
    switch (token->tagId()) {
      case kTagA:
        if (anchors == engine.hrefIndex - 1) {
          parts.text.append(token->text());
          parts.anchor = std::string(token->text());
        }
        ++anchors;
        break;
      case kAnchorEndId:
        if (anchors >= engine.hrefIndex) {
          parts.text.append(token->text());
          ++anchors;
        }
        break;
      case kTextTokenId:
        if (!inScript) {
          parts.text += words.Highlight(token->text(), "<r>%s</r>");
          parts.text += ' ';
        }
        break;
      case kTagScript:
        inScript = true;
        break;
      case kScriptEndId:
        inScript = false;
        break;
      case kTulixTitleEndId:
        parts.title = std::move(parts.text);
        parts.text.clear();
        break;
      default:
        break;
    }
  }
  return parts;
}

bool IsLeadingNumbering(char c) {
  if (static_cast<unsigned char>(c) <= 32 || (c >= '0' && c <= '9')) {
    return true;
  }
  return std::string_view(".)-:%;#~").find(c) != std::string_view::npos;
}

// Control characters become spaces, the numbering an engine puts before its results goes, and
// doubled spaces are halved in one pass from the left.
std::string TidyText(std::string text, bool trimLeadingNumbers) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 32) {
      c = ' ';
    }
  }
  size_t start = 0;
  if (trimLeadingNumbers) {
    while (start < text.size() && IsLeadingNumbering(text[start])) {
      ++start;
    }
  }
  std::string out;
  out.reserve(text.size() - start);
  for (size_t i = start; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == ' ' && i + 1 < text.size() && text[i + 1] == ' ') {
      ++i;
    }
  }
  return out;
}

// The address from the engine's pattern, when it matches and gives either nothing or an
// address that parses. False otherwise: the caller then takes the chosen anchor's address.
bool AddressByPattern(const EngineData& engine, const std::string& text, std::string* address) {
  if (text.size() <= 6 || !engine.hasHrefPattern()) {
    return false;
  }
  std::string found;
  if (!engine.hrefPattern->Find(text, &found)) {
    return false;
  }
  if (engine.translateHref == 1) {
    found = DecodeAddress(found, true);
  }
  ParsedUrl parsed;
  if (!found.empty() && !ParseUrl(found, &parsed)) {
    return false;
  }
  *address = std::move(found);
  return true;
}

std::string AddressFromAnchor(const EngineData& engine, const std::string& text,
                              const std::string& anchor) {
  if (engine.hasHrefPattern()) {
    Trace("\nMatch Failed on:%s\n", text.c_str());
  }
  std::string address = anchor.empty() ? std::string() : ReadHref(anchor);
  if (!address.empty() && engine.translateHref == 1) {
    address = DecodeAddress(address, true);
  }
  return address;
}

std::string AnchorStart(std::string_view address) {
  std::string tag = "<a href=";
  tag.append(address);
  tag += '>';
  return tag;
}

// Points the first anchor of the text at the address.
void RetargetFirstAnchor(std::string& text, std::string_view address) {
  size_t open = 0;
  while ((open = text.find('<', open)) != std::string::npos) {
    if (open + 1 < text.size() && (text[open + 1] == 'a' || text[open + 1] == 'A')) {
      break;
    }
    ++open;
  }
  if (open == std::string::npos) {
    return;
  }
  size_t close = text.find('>', open);
  if (close == std::string::npos) {
    return;
  }
  text.replace(open, close - open + 1, AnchorStart(address));
}

// The text of the first link of the hit's text, each piece after one space; "" when the link
// is never closed.
std::string FirstLinkText(std::string_view text) {
  PageScanner scanner(text);
  const PageToken* token = scanner.First();
  while (token != nullptr && token->tagId() != kTagA) {
    token = scanner.Next();
  }
  if (token == nullptr) {
    return {};
  }
  std::string linkText;
  for (token = scanner.Next(); token != nullptr; token = scanner.Next()) {
    if (token->tagId() == kAnchorEndId) {
      return linkText;
    }
    if (token->tagId() == kTextTokenId) {
      linkText += ' ';
      linkText.append(token->text());
    }
  }
  return {};
}

}  // namespace

std::string GetHttpHref(const EngineHit& hit) {
  ParsedUrl parsed;
  if (!ParseUrl(hit.address, &parsed) || !IsWebService(parsed.serviceType)) {
    return {};
  }
  return hit.address;
}

std::string PageAddressOf(const RequestSpec& request) {
  return JoinWithSeparator(ServerRoot(request.secure, request.host, request.port) + "/",
                           request.object, '/');
}

std::string AbsolutizeLink(std::string_view tagText, std::string_view pageAddress) {
  if (tagText.size() < 6) {
    return std::string(tagText);
  }
  std::string inner(tagText.substr(1, tagText.size() - 2));
  for (char& c : inner) {
    c = AsciiLower(c);
  }
  size_t href = inner.find("href");
  if (href == std::string::npos) {
    return std::string(tagText);
  }
  // Positions in `inner` are one less than in the tag.
  size_t equals = tagText.find('=', href + 1 + 4);
  if (equals == std::string_view::npos || equals + 1 >= tagText.size()) {
    return std::string(tagText);
  }
  std::string rest(tagText.substr(equals + 1, tagText.size() - equals - 2));
  std::string link = PopToken(rest, "\n ", false);
  std::string out(tagText.substr(0, equals + 1));
  out += ResolveAddress(pageAddress, link);
  out += ' ';
  out += rest;
  out += tagText.back();
  return out;
}

std::string BuildResultAnchor(const EngineData& engine, std::string_view href,
                              std::string_view collected) {
  std::string words = EngineDefinition::BuildPlainQueryText(href);
  std::string address;
  std::string_view pattern = engine.resultHref;
  size_t pos = 0;
  size_t hit;
  while ((hit = pattern.find("%R", pos)) != std::string_view::npos) {
    address.append(pattern.substr(pos, hit - pos));
    address += words;
    pos = hit + 2;
  }
  address.append(pattern.substr(pos));

  std::string anchor = "<a href=\"";
  anchor += address;
  anchor += "\">";
  anchor.append(collected.empty() ? href : collected);
  anchor += "</a>";
  return anchor;
}

void ExtractResult(const EngineData& engine, const SearchQuery& search, EngineHit& hit) {
  SearchWords words(search.text);
  CollectedParts parts = CollectParts(engine, words, hit.text);
  std::string text = TidyText(std::move(parts.text), engine.trimLeadingNumbers != 0);

  std::string address;
  if (!AddressByPattern(engine, text, &address)) {
    address = AddressFromAnchor(engine, text, parts.anchor);
  }
  size_t start = address.find_first_not_of(" \t\r\n\v\f");
  address.erase(0, start == std::string::npos ? address.size() : start);
  // A page can write a link with a quote or an angle bracket in it (inside a quoted href);
  // raw, it would end the hit's anchor early, so it is sent as a browser would send it.
  address = EncodeUnsafeAddressBytes(address);

  if (!parts.title.empty()) {
    text = AnchorStart(address) + parts.title + "</a>" + text;
  }
  RetargetFirstAnchor(text, address);
  if (FirstLinkText(text).size() < 3) {
    address.clear();
  }
  hit.text = std::move(text);
  hit.address = std::move(address);
}

std::string PercentDecode(std::string_view text) {
  return DecodeAddress(text, false);
}

std::string HighlightSearchWords(std::string_view text, std::string_view searchText,
                                 std::string_view format) {
  return SearchWords(searchText).Highlight(text, format);
}

}  // namespace tulix
