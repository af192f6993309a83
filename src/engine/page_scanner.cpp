#include "engine/page_scanner.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "base/token_splitter.h"
#include "platform/trace.h"

namespace tulix {

namespace {

// ---- The tag table -------------------------------------------------------------------------

struct TagName {
  const char* name;
  uint16_t id;
};

constexpr TagName kTagNames[] = {
    {"a", 1},     {"table", 2},       {"td", 3},     {"th", 4},          {"tr", 5},
    {"frame", 6}, {"ul", 7},          {"ol", 7},     {"li", 8},          {"br", 9},
    {"dl", 10},   {"dd", 11},         {"dt", 12},    {"p", 13},          {"div", 14},
    {"span", 15}, {"r", 16},          {"form", 17},  {"input", 18},      {"script", 19},
    {"big", 20},  {"h1", 21},         {"h2", 22},    {"h3", 23},         {"hr", 24},
    {"b", 25},    {"i", 26},          {"small", 27}, {"blockquote", 28}, {"body", 29},
    {"font", 30}, {"tulixtitle", 31}, {"img", 32},   {"center", 33},
};
constexpr size_t kTagCount = sizeof kTagNames / sizeof kTagNames[0];
constexpr size_t kTagSlots = 2557;
constexpr size_t kLongestTagName = 10;

constexpr size_t ConstLength(const char* s) {
  size_t n = 0;
  while (s[n] != '\0') {
    ++n;
  }
  return n;
}

// One step of the ELF-style string hash with a shift of 6: whenever the top four bits fill up
// they are folded into bits 4 to 7 and cleared. Names are hashed in lower case.
constexpr uint32_t HashStep(uint32_t h, char c) {
  h = (h << 6) + static_cast<unsigned char>(c);
  uint32_t top = h & 0xF0000000u;
  if (top != 0) {
    h ^= top >> 24;
    h &= ~top;
  }
  return h;
}

struct TagSlot {
  uint8_t entry = 0;   // index into kTagNames plus one; 0 = empty
  uint8_t length = 0;  // of the name
  uint32_t hash = 0;   // full hash, compared before the name
};

struct TagTable {
  std::array<TagSlot, kTagSlots> slots{};
  bool distinct = true;  // every name found a slot of its own
};

constexpr TagTable BuildTagTable() {
  TagTable table;
  for (size_t i = 0; i < kTagCount; ++i) {
    uint32_t hash = 0;
    size_t length = ConstLength(kTagNames[i].name);
    for (size_t k = 0; k < length; ++k) {
      hash = HashStep(hash, kTagNames[i].name[k]);
    }
    TagSlot& slot = table.slots[hash % kTagSlots];
    if (slot.entry != 0) {
      table.distinct = false;
    }
    slot.entry = static_cast<uint8_t>(i + 1);
    slot.length = static_cast<uint8_t>(length);
    slot.hash = hash;
  }
  return table;
}

// Built by the compiler: there is nothing to initialise at start-up and nothing for threads to
// race on.
constexpr TagTable kTagTable = BuildTagTable();
static_assert(kTagTable.distinct, "every tag name needs a slot of its own");

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsSpaceOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

// The id of a lower-case tag name with its hash; 0 when it is not in the table.
int LookUpTagName(const char* lower, size_t length, uint32_t hash) {
  const TagSlot& slot = kTagTable.slots[hash % kTagSlots];
  if (slot.entry == 0 || slot.hash != hash || slot.length != length) {
    return 0;
  }
  // Equal hashes do not make equal names: compare the name too. Names are a few bytes, so a
  // plain loop beats a call.
  const TagName& tag = kTagNames[slot.entry - 1];
  for (size_t k = 0; k < length; ++k) {
    if (tag.name[k] != lower[k]) {
      return 0;
    }
  }
  return tag.id;
}

int TagIdOf(std::string_view chars) {
  if (chars.size() < 3 || chars[0] != '<') {
    return kTextTokenId;
  }
  const bool end = chars[1] == '/';
  // The name ends before the first space, ">" or the end of the text. One longer than any in
  // the table is unknown, so reading stops one character past the longest.
  size_t i = end ? 2 : 1;
  const size_t stop = std::min(chars.size(), i + kLongestTagName + 1);
  char lower[kLongestTagName + 1];
  size_t length = 0;
  uint32_t hash = 0;
  for (; i < stop && !IsSpaceOrControl(chars[i]) && chars[i] != '>'; ++i) {
    lower[length] = LowerAscii(chars[i]);
    hash = HashStep(hash, lower[length]);
    ++length;
  }
  int id = length != 0 && length <= kLongestTagName ? LookUpTagName(lower, length, hash) : 0;
  if (id == 0) {
    id = kUnknownTagId;
  }
  return end ? id + kEndTagBit : id;
}

bool IsContainerId(int id) {
  constexpr uint32_t kContainerKinds = (1u << 1) | (1u << 2) | (1u << 3) | (1u << 5) | (1u << 6) |
                                       (1u << 7) | (1u << 10) | (1u << 17);
  int kind = id & ~kEndTagBit;
  return kind >= 0 && kind < 32 && ((kContainerKinds >> kind) & 1u) != 0;
}

std::string_view TrimSpaces(std::string_view s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && s[b] == ' ') {
    ++b;
  }
  while (e > b && s[e - 1] == ' ') {
    --e;
  }
  return s.substr(b, e - b);
}

// The first `c` in [p, end), or nullptr. Most tokens are short, so a few bytes are looked at
// directly before the library's search takes over for long runs.
const char* FindByte(const char* p, const char* end, char c) {
  const char* quick = end - p > 16 ? p + 16 : end;
  for (; p < quick; ++p) {
    if (*p == c) {
      return p;
    }
  }
  return p == end ? nullptr : static_cast<const char*>(std::memchr(p, c, end - p));
}

// ---- Attribute values ----------------------------------------------------------------------

// Position of the first occurrence of `name` in `text`, compared without regard to ASCII case.
size_t FindNoCase(std::string_view text, std::string_view name) {
  if (name.empty()) {
    return 0;
  }
  if (name.size() > text.size()) {
    return std::string_view::npos;
  }
  const char first = LowerAscii(name[0]);
  for (size_t i = 0; i + name.size() <= text.size(); ++i) {
    if (LowerAscii(text[i]) != first) {
      continue;
    }
    size_t k = 1;
    while (k < name.size() && LowerAscii(text[i + k]) == LowerAscii(name[k])) {
      ++k;
    }
    if (k == name.size()) {
      return i;
    }
  }
  return std::string_view::npos;
}

// What stands after the "=" that follows `name` in the tag, up to (not including) the tag's
// last character; empty when the tag is too short or the name is absent.
std::string_view AttributeTail(std::string_view tag, std::string_view name) {
  if (tag.size() < 6) {
    return {};
  }
  std::string_view inner = tag.substr(1, tag.size() - 2);
  size_t at = FindNoCase(inner, name);
  if (at == std::string_view::npos) {
    return {};
  }
  size_t equals = inner.find('=', at + name.size());
  if (equals == std::string_view::npos) {
    return {};
  }
  return inner.substr(equals + 1);
}

// An unquoted href with "=" in it: the address may hold spaces inside its query. Pieces up to
// each space are taken while the rest still looks like query ("&" before "=", or neither);
// a rest with "=" first, or "&" but no "=", is taken for the next attribute.
std::string ReadUnquotedQueryHref(std::string_view value) {
  constexpr size_t npos = std::string_view::npos;
  std::string result;
  size_t pos = 0;
  // The next "&" and "=" at or after pos, found again only once pos has passed them, so a long
  // value with many spaces is still read in one pass.
  size_t amp = value.find('&');
  size_t equals = value.find('=');
  while (true) {
    size_t space = value.find(' ', pos);
    result.append(value.substr(pos, space == npos ? npos : space - pos));
    result += ' ';
    if (space == npos || space + 1 >= value.size()) {
      break;
    }
    pos = space + 1;
    if (amp != npos && amp < pos) {
      amp = value.find('&', pos);
    }
    if (equals != npos && equals < pos) {
      equals = value.find('=', pos);
    }
    bool moreQuery =
        (amp == npos && equals == npos) || (amp != npos && equals != npos && amp < equals);
    if (!moreQuery) {
      break;
    }
  }
  while (!result.empty() && result.back() == ' ') {
    result.pop_back();
  }
  return result;
}

}  // namespace

// ---- Reading attributes --------------------------------------------------------------------

std::string ReadAttribute(std::string_view tagText, std::string_view name) {
  std::string_view tail = AttributeTail(tagText, name);
  if (tail.empty()) {
    return {};
  }
  return GetToken(tail, "\n ", false);
}

std::string ReadHref(std::string_view tagText) {
  std::string_view value = AttributeTail(tagText, "href");
  while (!value.empty() && value.front() == ' ') {
    value.remove_prefix(1);
  }
  if (value.empty()) {
    return {};
  }
  if (value.front() == '"' || value.front() == '\'') {
    return GetToken(value, "\n ", false);
  }
  if (value.find('=') == std::string_view::npos) {
    return GetToken(value, "\n>", false);
  }
  return ReadUnquotedQueryHref(value);
}

// ---- Entities ------------------------------------------------------------------------------

namespace {

// "&#" + digits + ";" becomes one byte; the value is kept modulo 256 while it is read, so no
// number of digits can overflow it.
std::string DecodeNumericEntities(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '&' && i + 1 < text.size() && text[i + 1] == '#') {
      size_t j = i + 2;
      unsigned value = 0;
      while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
        value = (value * 10 + static_cast<unsigned>(text[j] - '0')) & 0xFFu;
        ++j;
      }
      if (j > i + 2 && j < text.size() && text[j] == ';') {
        out += static_cast<char>(value);
        i = j + 1;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

// Replaces every occurrence of `from` in one left-to-right pass; what a replacement produces is
// not looked at again in the same pass.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  size_t at = text.find(from);
  if (at == std::string::npos) {
    return;
  }
  std::string out;
  out.reserve(text.size());
  size_t done = 0;
  while (at != std::string::npos) {
    out.append(text, done, at - done);
    out.append(to);
    done = at + from.size();
    at = text.find(from, done);
  }
  out.append(text, done, std::string::npos);
  text = std::move(out);
}

}  // namespace

std::string DecodeEntities(std::string_view text) {
  if (text.find('&') == std::string_view::npos) {
    return std::string(text);
  }
  std::string out = DecodeNumericEntities(text);
  static constexpr std::string_view kNamed[][2] = {
      {"&amp;", "&"}, {"&lt;", "<"},       {"&gt;", ">"},    {"&nbsp;", " "}, {"&iexcl;", ""},
      {"&cent;", ""}, {"&pound;", "\xA3"}, {"&quot;", "\""}, {"&copy;", ""},
  };
  for (const auto& entity : kNamed) {
    ReplaceAll(out, entity[0], entity[1]);
  }
  return out;
}

// ---- PageToken -----------------------------------------------------------------------------

const PageToken* PageToken::FindEnclosing(int id) const {
  switch (id) {
    case kTagA:
      return At(m_link);
    case kTagForm:
      return At(m_form);
    case kTagTr:
      return At(m_row);
    case kRootTokenId:
      return m_index == 0 ? nullptr : At(0);
    default:
      break;
  }
  // Only containers have children, so no other id can be an ancestor.
  if (!IsContainerId(id)) {
    return nullptr;
  }
  for (const PageToken* p = parent(); p != nullptr; p = p->parent()) {
    if (p->m_id == id) {
      return p;
    }
  }
  return nullptr;
}

std::string PageToken::GetHref() const {
  if (m_id == kTagA && m_closed) {
    return ReadHref(m_text);
  }
  const PageToken* link = At(m_link);
  return link == nullptr ? std::string() : ReadHref(link->m_text);
}

std::string PageToken::GetFormAction() const {
  const PageToken* form = m_id == kTagForm ? this : At(m_form);
  return form == nullptr ? std::string() : ReadAttribute(form->m_text, "action");
}

std::string PageToken::GetAttribute(std::string_view name) const {
  return ReadAttribute(m_text, name);
}

bool PageToken::IsColumn(int n) const {
  Trace("Looking for column %d\n", n);
  if (m_row == kNone) {
    return false;
  }
  Trace("Looking for column %d found %u\n", n, m_column);
  return n > 0 && static_cast<uint32_t>(n) == m_column;
}

// ---- PageScanner ---------------------------------------------------------------------------

namespace {

// A result page makes both buffers of a scanner large, and the allocator gives memory that
// large back to the system when it is freed, so the next page would touch fresh pages again:
// on a virtual machine those faults cost more than the whole scan. Each thread therefore keeps
// the buffers of its last scanner for the next one, up to a bound, so a search job's pages
// reuse one set of memory.
constexpr size_t kMaxSpareBytes = size_t{16} << 20;

struct SpareBuffers {
  std::string text;
  std::vector<PageToken> tokens;
};

SpareBuffers& Spare() {
  thread_local SpareBuffers spare;
  return spare;
}

}  // namespace

PageScanner::PageScanner(std::string_view text) {
  SpareBuffers& spare = Spare();
  m_text = std::move(spare.text);
  m_tokens = std::move(spare.tokens);
  m_text.assign(text);
  m_tokens.clear();
  // Control characters read as spaces. The same pass counts the "<", which bounds the number
  // of tokens (every tag starts with one, and every text run but the last ends before one), so
  // the token array is allocated once.
  size_t opens = 0;
  for (char& c : m_text) {
    if (static_cast<unsigned char>(c) < ' ') {
      c = ' ';
    }
    opens += c == '<';
  }
  m_tokens.reserve(std::min(2 * opens + 2, text.size() + 1));
  m_tokens.emplace_back();
  m_tokens[0].m_id = kRootTokenId;
  Scan();
}

PageScanner::~PageScanner() {
  SpareBuffers& spare = Spare();
  if (m_text.capacity() > spare.text.capacity() && m_text.capacity() <= kMaxSpareBytes) {
    spare.text = std::move(m_text);
  }
  if (m_tokens.capacity() > spare.tokens.capacity() &&
      m_tokens.capacity() * sizeof(PageToken) <= kMaxSpareBytes) {
    spare.tokens = std::move(m_tokens);
  }
}

void PageScanner::Scan() {
  const char* s = m_text.data();
  const char* const end = s + m_text.size();
  const char* p = s;
  while (p < end) {
    if (*p == '<') {
      // Everything up to and including the first ">" is the tag, quotes or not; without one,
      // the rest of the text is an unfinished tag.
      const char* close = FindByte(p + 1, end, '>');
      const char* next = close == nullptr ? end : close + 1;
      AddToken(p - s, next - s, true);
      p = next;
    } else {
      const char* open = FindByte(p, end, '<');
      const char* next = open == nullptr ? end : open;
      AddToken(p - s, next - s, false);
      p = next;
    }
  }
}

void PageScanner::AddToken(size_t begin, size_t end, bool tag) {
  std::string_view chars(m_text.data() + begin, end - begin);
  const uint32_t index = static_cast<uint32_t>(m_tokens.size());
  PageToken& token = m_tokens.emplace_back();
  token.m_index = index;
  token.m_id = static_cast<uint16_t>(tag ? TagIdOf(chars) : kTextTokenId);
  token.m_container = IsContainerId(token.m_id);
  token.m_text = TrimSpaces(chars);

  // Every new token is the last child of the current container, so the tree in pre-order is
  // the document order.
  PageToken& parent = m_tokens[m_current];
  token.m_parent = m_current;
  token.m_depth = parent.m_depth + 1;
  if (parent.m_lastChild == PageToken::kNone) {
    parent.m_firstChild = index;
    token.m_childIndex = 1;
  } else {
    PageToken& previous = m_tokens[parent.m_lastChild];
    previous.m_nextSibling = index;
    token.m_childIndex = previous.m_childIndex + 1;
  }
  parent.m_lastChild = index;

  token.m_link = parent.m_id == kTagA ? m_current : parent.m_link;
  token.m_form = parent.m_id == kTagForm ? m_current : parent.m_form;
  if (parent.m_id == kTagTr) {
    token.m_row = m_current;
    token.m_column = token.m_childIndex;
  } else {
    token.m_row = parent.m_row;
    token.m_column = parent.m_column;
  }

  if (token.m_id == parent.m_id + kEndTagBit) {
    parent.m_closed = true;
    m_current = parent.m_parent;
  } else if (token.m_container) {
    m_current = index;
  }
}

const PageToken* PageScanner::First() {
  m_cursor = 0;
  return Next();
}

const PageToken* PageScanner::Next() {
  if (m_cursor <= Count()) {
    ++m_cursor;
  }
  return m_cursor <= Count() ? &m_tokens[m_cursor] : nullptr;
}

void PageScanner::RewindOne() {
  if (m_cursor > 0) {
    --m_cursor;
  }
}

int PageScanner::GetTagId(std::string_view tagText) {
  return TagIdOf(tagText);
}

void PageScanner::SetTokenText(const PageToken& token, std::string text) {
  assert(token.m_index < m_tokens.size() && &m_tokens[token.m_index] == &token);
  m_rewritten.push_back(std::move(text));
  m_tokens[token.m_index].m_text = m_rewritten.back();
}

}  // namespace tulix
