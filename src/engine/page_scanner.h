// The HTML tag scanner: cuts a fetched page, or the text collected for one result, into a flat
// sequence of tokens (text runs, start tags, end tags) that an engine script walks one by one,
// and links them into a loose tree so a script can ask which link or form encloses a token and
// in which column of its table row it lies.
//
// The scanner is deliberately simple. It knows nothing of comments, quoted ">" inside
// attributes or character sets: text is single bytes, every control character reads as a
// space, a tag runs from "<" to the first ">". Badly nested or unclosed tags only change the
// shape of the tree; no input is rejected.
//
// Tag ids: 0 for text; for a tag the id from the table in page_scanner.cpp (a 1, table 2, td 3,
// tr 5, form 17, ...); an end tag has its tag's id plus 256; an unknown tag is 255 (511 as an
// end tag). The root of every tree has id 254.
//
// Tree: each token becomes the last child of the current container. A container (a, table,
// td, tr, frame, ul/ol, dl, form, and the end tags of these) becomes the current container;
// when a container receives its own end tag it is closed and its parent becomes current again.
// A stray container end tag is a container too, so what follows nests below it.
//
// Ownership: a PageScanner owns its copy of the text and every token; tokens and the texts
// they return die with it. Tokens are handed out as const pointers; only the scanner changes
// one (SetTokenText).
//
// Thread safety: a scanner and its tokens belong to one thread. The tag table is a constant
// built by the compiler, so scanners on many threads share it without any start-up step or lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

inline constexpr int kTextTokenId = 0;
inline constexpr int kEndTagBit = 256;
inline constexpr int kRootTokenId = 254;
inline constexpr int kUnknownTagId = 255;
inline constexpr int kUnknownEndTagId = 511;

// Ids of the tags that scripts and the result code look for.
inline constexpr int kTagA = 1;
inline constexpr int kTagTable = 2;
inline constexpr int kTagTd = 3;
inline constexpr int kTagTr = 5;
inline constexpr int kTagForm = 17;
inline constexpr int kTagScript = 19;
inline constexpr int kTagTulixTitle = 31;

class PageToken {
 public:
  int tagId() const { return m_id; }
  // The token's characters trimmed of spaces at both ends; for a tag the whole tag as written,
  // "<" and ">" included (control characters read as spaces).
  std::string_view text() const { return m_text; }

  bool isContainer() const { return m_container; }
  // Set on a container when its own end tag has been seen.
  bool closed() const { return m_closed; }

  // Position in document order: 1 for the first token, 0 for the root.
  size_t index() const { return m_index; }
  // Steps from the root: 1 for the root's children.
  size_t depth() const { return m_depth; }

  const PageToken* parent() const { return At(m_parent); }
  const PageToken* firstChild() const { return At(m_firstChild); }
  const PageToken* nextSibling() const { return At(m_nextSibling); }
  size_t childCount() const { return m_lastChild == kNone ? 0 : At(m_lastChild)->m_childIndex; }

  // The nearest ancestor with tag id `id`, or nullptr. Links, forms, rows and the root are
  // found at once; other container ids walk up the tree.
  const PageToken* FindEnclosing(int id) const;

  // An `a` start tag that has been closed gives the href of its own text; any other token
  // that of the nearest enclosing `a`. "" when there is none.
  std::string GetHref() const;
  // A `form` start tag gives its own action attribute, any other token that of the nearest
  // enclosing `form`; "" when there is none.
  std::string GetFormAction() const;
  // The value of attribute `name` in the token's own text (see ReadAttribute).
  std::string GetAttribute(std::string_view name) const;
  // Whether the token lies in column n (from 1) of the nearest enclosing `tr`: the child of the
  // row on the path up from the token is the row's n-th child, every child counting (text
  // tokens, white space and end tags too). A token outside any row is in no column.
  bool IsColumn(int n) const;

 private:
  friend class PageScanner;
  static constexpr uint32_t kNone = UINT32_MAX;

  // Tokens live in one array owned by their scanner, root first, so a token finds its
  // relatives by index from its own address.
  const PageToken* At(uint32_t i) const { return i == kNone ? nullptr : this - m_index + i; }

  std::string_view m_text;
  uint32_t m_index = 0;
  uint32_t m_parent = kNone;
  uint32_t m_firstChild = kNone;
  uint32_t m_lastChild = kNone;
  uint32_t m_nextSibling = kNone;
  uint32_t m_childIndex = 0;  // 1-based position among the parent's children
  uint32_t m_depth = 0;
  // Worked out while the tree is built, so the per-token questions of a script cost the same
  // however deep the tree: the nearest enclosing a, form and tr, and the column in that tr.
  uint32_t m_link = kNone;
  uint32_t m_form = kNone;
  uint32_t m_row = kNone;
  uint32_t m_column = 0;  // 0: in no row
  uint16_t m_id = 0;
  bool m_container = false;
  bool m_closed = false;
};

class PageScanner {
 public:
  // Scans the whole text at once.
  explicit PageScanner(std::string_view text);
  ~PageScanner();
  PageScanner(const PageScanner&) = delete;
  PageScanner& operator=(const PageScanner&) = delete;

  // Walk the tokens in document order (the root is not among them); nullptr past the end.
  const PageToken* First();
  const PageToken* Next();
  // Moves the cursor back by one token, so the next Next() returns the token Next() (or
  // First()) returned last. Does nothing before the first token.
  void RewindOne();

  // The id of a tag text, by the same rule the scanner uses for its tokens.
  static int GetTagId(std::string_view tagText);

  // The number of tokens and the token at a position (1 to Count()); the root is position 0.
  size_t Count() const { return m_tokens.size() - 1; }
  const PageToken& At(size_t position) const { return m_tokens[position]; }
  const PageToken& Root() const { return m_tokens[0]; }

  // Replaces the text of one of this scanner's tokens (the search job makes link addresses
  // absolute this way). The id and the place in the tree stay.
  void SetTokenText(const PageToken& token, std::string text);

 private:
  void Scan();
  void AddToken(size_t begin, size_t end, bool tag);

  std::string m_text;                   // the page with every control character turned into a space
  std::vector<PageToken> m_tokens;      // root at 0, then document order
  std::deque<std::string> m_rewritten;  // texts set by SetTokenText; a deque never moves them
  uint32_t m_current = 0;               // the container that receives the next token
  size_t m_cursor = 0;                  // position of the token returned last; 0 = none yet
};

// Reads the value of attribute `name` from a tag text: the first occurrence of the name, in
// any case and anywhere (even inside another word or value), then the first "=" after it, then
// the first field of the rest: a quoted value runs to its closing quote, an unquoted one to the
// first space. "" when the tag is shorter than 6 characters or the name is absent.
std::string ReadAttribute(std::string_view tagText, std::string_view name);

// Reads the href of a tag text. Like ReadAttribute, except that an unquoted address with a
// query may hold spaces: it runs on over spaces as long as what follows looks like more of the
// query ("&" before "=", or neither) rather than another attribute.
std::string ReadHref(std::string_view tagText);

// Replaces "&#" + decimal digits + ";" by the byte of that code (modulo 256), then the named
// entities &amp; &lt; &gt; &nbsp; &iexcl; &cent; &pound; &quot; &copy; in that order, each
// over the whole text (so "&amp;lt;" becomes "<"). Anything else stays as it is.
std::string DecodeEntities(std::string_view text);

}  // namespace tulix
