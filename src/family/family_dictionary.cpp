#include "family/family_dictionary.h"

#include <algorithm>
#include <bitset>
#include <mutex>

#include "base/log.h"
#include "family/family_mode.h"
#include "platform/paths.h"

namespace tulix {

namespace {

// Only A to Z are folded: text is single-byte in an unknown code page, so other bytes are left
// as they are rather than guessed at.
unsigned char Lower(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

std::string LowerWord(std::string_view word) {
  std::string lower(word.size(), '\0');
  std::transform(word.begin(), word.end(), lower.begin(),
                 [](char c) { return static_cast<char>(Lower(c)); });
  return lower;
}

bool IsSeparator(char c, std::string_view separators) {
  return separators.find(c) != std::string_view::npos;
}

bool IsLevel(int level) {
  return level >= kLevelLow && level <= kLevelBlock;
}

// Reads the file's little-endian integers without ever going past the end of the bytes.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : m_bytes(bytes) {}

  bool U8(uint8_t& value) { return Read(1, value); }
  bool U16(uint16_t& value) { return Read(2, value); }
  bool U32(uint32_t& value) { return Read(4, value); }
  size_t remaining() const { return m_bytes.size() - m_position; }

 private:
  template <typename T>
  bool Read(size_t size, T& value) {
    if (remaining() < size) {
      return false;
    }
    uint32_t v = 0;
    for (size_t i = 0; i < size; ++i) {
      v |= static_cast<uint32_t>(static_cast<unsigned char>(m_bytes[m_position + i])) << (8 * i);
    }
    m_position += size;
    value = static_cast<T>(v);
    return true;
  }

  std::string_view m_bytes;
  size_t m_position = 0;
};

void PutLittleEndian(std::string& out, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
}

}  // namespace

const char* WarningLevelText(int level) {
  switch (level) {
    case kLevelLow:
      return "Low";
    case kLevelMedium:
      return "Medium";
    case kLevelHigh:
      return "High";
    case kLevelBlock:
      return "Block";
    default:
      return "";
  }
}

const char* EntryKindText(int kind) {
  switch (kind) {
    case kFullWordEntry:
      return "full word";
    case kPartialEntry:
      return "partial";
    default:
      return "";
  }
}

FamilyDictionary::FamilyDictionary() : m_nodes(1) {}

uint32_t FamilyDictionary::ClassBit(unsigned char c) {
  c = Lower(static_cast<char>(c));
  if (c == ' ') {
    return 1u << 2;
  }
  if (c == '.') {
    return 1u << 1;
  }
  if (c >= 'a' && c <= 'z') {
    return 1u << (3 + (c - 'a'));
  }
  return 1u;
}

uint32_t FamilyDictionary::MaskOf(const Node& node) {
  uint32_t mask = 0;
  for (const Transition& t : node.transitions) {
    mask |= ClassBit(t.character);
  }
  return mask;
}

const FamilyDictionary::Transition* FamilyDictionary::FindIn(const Node& node, unsigned char c) {
  if ((node.mask & ClassBit(c)) == 0) {
    return nullptr;
  }
  for (const Transition& t : node.transitions) {
    if (t.character == c) {
      return &t;
    }
  }
  return nullptr;
}

FamilyDictionary::Transition* FamilyDictionary::FindWordEnd(std::string_view word, size_t* node) {
  size_t current = 0;
  for (size_t i = 0; i < word.size(); ++i) {
    auto* t =
        const_cast<Transition*>(FindIn(m_nodes[current], static_cast<unsigned char>(word[i])));
    if (t == nullptr) {
      return nullptr;
    }
    if (i + 1 == word.size()) {
      *node = current;
      return t;
    }
    if (t->next == kNoNode) {
      return nullptr;
    }
    current = t->next;
  }
  return nullptr;
}

bool FamilyDictionary::AddWord(std::string_view word, int kind, int level) {
  if (word.empty() || (kind != kFullWordEntry && kind != kPartialEntry) || !IsLevel(level)) {
    return false;
  }
  const std::string lower = LowerWord(word);
  std::unique_lock lock(m_lock);
  // Follow the characters that are there already; every character after that except the last
  // needs a new node, and all of them must fit before anything is changed.
  size_t node = 0;
  size_t i = 0;
  for (; i + 1 < lower.size(); ++i) {
    const Transition* t = FindIn(m_nodes[node], static_cast<unsigned char>(lower[i]));
    if (t == nullptr || t->next == kNoNode) {
      break;
    }
    node = t->next;
  }
  const size_t newNodes = lower.size() - 1 - i;
  if (newNodes > kMaxNodes - m_nodes.size()) {
    return false;
  }
  for (; i < lower.size(); ++i) {
    const auto c = static_cast<unsigned char>(lower[i]);
    auto* t = const_cast<Transition*>(FindIn(m_nodes[node], c));
    if (t == nullptr) {
      m_nodes[node].transitions.push_back(Transition{c, 0, kNoNode, 0, 0});
      m_nodes[node].mask |= ClassBit(c);
      t = &m_nodes[node].transitions.back();
    }
    if (i + 1 == lower.size()) {
      if (kind == kFullWordEntry) {
        t->flags |= kFullFlag;
        t->fullLevel = static_cast<uint8_t>(level);
      } else {
        t->flags |= kPartialFlag;
        t->partialLevel = static_cast<uint8_t>(level);
      }
      break;
    }
    if (t->next == kNoNode) {
      // Linked before the table grows: growing it may move the node that holds `t`.
      t->next = static_cast<uint16_t>(m_nodes.size());
      node = t->next;
      m_nodes.emplace_back();
    } else {
      node = t->next;
    }
  }
  return true;
}

bool FamilyDictionary::RemoveWord(std::string_view word, int kind) {
  const uint8_t bit = kind == kFullWordEntry ? kFullFlag : kind == kPartialEntry ? kPartialFlag : 0;
  if (word.empty() || bit == 0) {
    return false;
  }
  const std::string lower = LowerWord(word);
  std::unique_lock lock(m_lock);
  size_t node = 0;
  Transition* t = FindWordEnd(lower, &node);
  if (t == nullptr || (t->flags & bit) == 0) {
    return false;
  }
  t->flags = static_cast<uint8_t>(t->flags & ~bit);
  (kind == kFullWordEntry ? t->fullLevel : t->partialLevel) = 0;
  if (t->flags == 0 && t->next == kNoNode) {
    auto& transitions = m_nodes[node].transitions;
    transitions.erase(transitions.begin() + (t - transitions.data()));
    m_nodes[node].mask = MaskOf(m_nodes[node]);
  }
  return true;
}

std::vector<DictionaryEntry> FamilyDictionary::Entries() const {
  std::shared_lock lock(m_lock);
  std::vector<DictionaryEntry> entries;
  // Depth first without recursion: a word may be thousands of characters long. `visited` keeps
  // the walk finite whatever the links are.
  struct Frame {
    size_t node;
    size_t next;
  };
  std::vector<Frame> stack{{0, 0}};
  std::vector<bool> visited(m_nodes.size(), false);
  visited[0] = true;
  std::string word;
  while (!stack.empty()) {
    const size_t node = stack.back().node;
    const size_t index = stack.back().next++;
    const auto& transitions = m_nodes[node].transitions;
    if (index == transitions.size()) {
      stack.pop_back();
      if (!stack.empty()) {
        word.pop_back();
      }
      continue;
    }
    const Transition& t = transitions[index];
    word.push_back(static_cast<char>(t.character));
    if (t.flags & kFullFlag) {
      entries.push_back({word, kFullWordEntry, t.fullLevel});
    }
    if (t.flags & kPartialFlag) {
      entries.push_back({word, kPartialEntry, t.partialLevel});
    }
    if (t.next != kNoNode && t.next < m_nodes.size() && !visited[t.next]) {
      visited[t.next] = true;
      stack.push_back({t.next, 0});
    } else {
      word.pop_back();
    }
  }
  return entries;
}

void FamilyDictionary::Clear() {
  std::unique_lock lock(m_lock);
  m_nodes.assign(1, Node{});
}

size_t FamilyDictionary::NodeCount() const {
  std::shared_lock lock(m_lock);
  return m_nodes.size();
}

int FamilyDictionary::MatchAt(std::string_view text, size_t position, bool atWordStart,
                              std::string_view separators) const {
  std::shared_lock lock(m_lock);
  return MatchAtLocked(text, position, atWordStart, separators);
}

int FamilyDictionary::MatchAtLocked(std::string_view text, size_t position, bool atWordStart,
                                    std::string_view separators) const {
  // Every step takes one character of the text, so the walk ends with the text whatever the
  // links are.
  const Node* node = &m_nodes[0];
  const Transition* candidate = nullptr;
  size_t i = position;
  while (i < text.size()) {
    const Transition* t = FindIn(*node, Lower(text[i]));
    if (t == nullptr) {
      break;
    }
    ++i;
    candidate = t;
    if (t->flags & kPartialFlag) {
      return t->partialLevel;
    }
    if (t->next == kNoNode || t->next >= m_nodes.size()) {
      break;
    }
    node = &m_nodes[t->next];
  }
  if (candidate == nullptr) {
    return 0;
  }
  // The walk ended inside a longer word: a full-word entry does not match there.
  if (i < text.size() && !IsSeparator(text[i], separators)) {
    return 0;
  }
  if (atWordStart && (candidate->flags & kFullFlag)) {
    return candidate->fullLevel;
  }
  return 0;
}

bool FamilyDictionary::PassesWordCheck(std::string_view text, std::string_view separators) const {
  std::shared_lock lock(m_lock);
  int total = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsSeparator(text[i], separators)) {
      continue;
    }
    const bool atWordStart = i == 0 || IsSeparator(text[i - 1], separators);
    total += MatchAtLocked(text, i, atWordStart, separators);
    if (total >= kBlockingTotal) {
      return false;
    }
  }
  return true;
}

bool FamilyDictionary::IsTextAllowed(std::string_view text, std::string_view separators) const {
  return !IsFamilyModeOn() || PassesWordCheck(text, separators);
}

std::string FamilyDictionary::ToBytes() const {
  std::shared_lock lock(m_lock);
  std::string out;
  PutLittleEndian(out, static_cast<uint32_t>(m_nodes.size()), 2);
  for (const Node& node : m_nodes) {
    PutLittleEndian(out, node.mask, 4);
    PutLittleEndian(out, static_cast<uint32_t>(node.transitions.size()), 2);
    for (const Transition& t : node.transitions) {
      PutLittleEndian(out, t.fullLevel, 1);
      PutLittleEndian(out, t.next, 2);
      PutLittleEndian(out, t.partialLevel, 1);
      PutLittleEndian(out, t.flags, 1);
      PutLittleEndian(out, t.character, 1);
    }
  }
  return out;
}

bool FamilyDictionary::FromBytes(std::string_view bytes) {
  std::unique_lock lock(m_lock);
  return FromBytesLocked(bytes);
}

bool FamilyDictionary::DropEntryOfBadLevel(Transition& t, uint8_t flag, uint8_t& level) {
  if ((t.flags & flag) == 0 || (level >= kLevelLow && level <= kLevelBlock)) {
    return false;
  }
  t.flags = static_cast<uint8_t>(t.flags & ~flag);
  level = 0;
  return true;
}

bool FamilyDictionary::FromBytesLocked(std::string_view bytes) {
  m_nodes.clear();
  ByteReader in(bytes);
  bool complete = true;
  uint16_t count = 0;
  if (!in.U16(count) || count == 0) {
    complete = false;
  }
  for (size_t n = 0; complete && n < count; ++n) {
    Node node;
    uint32_t mask = 0;
    uint16_t transitions = 0;
    if (!in.U32(mask) || !in.U16(transitions)) {
      complete = false;
      break;
    }
    // The count is not trusted for the reservation: the bytes left bound it.
    node.transitions.reserve(std::min<size_t>(transitions, in.remaining() / 6));
    for (size_t k = 0; k < transitions; ++k) {
      Transition t;
      uint8_t character = 0;
      if (!in.U8(t.fullLevel) || !in.U16(t.next) || !in.U8(t.partialLevel) || !in.U8(t.flags) ||
          !in.U8(character)) {
        complete = false;
        break;
      }
      t.character = character;
      node.transitions.push_back(t);
    }
    m_nodes.push_back(std::move(node));
  }
  if (m_nodes.empty()) {
    m_nodes.emplace_back();
  }
  // Each node may be entered from one transition only, and the root from none: that keeps the
  // part reachable from the root a tree, so no walk can go round.
  bool cut = false;
  std::vector<bool> linked(m_nodes.size(), false);
  linked[0] = true;
  for (Node& node : m_nodes) {
    // One transition per character and node, in lower case, as AddWord makes them: a walk takes
    // the first one of the lowered character, so any other could never match, and the censor
    // page would list words that are not blocked.
    std::bitset<256> seen;
    auto& transitions = node.transitions;
    const auto kept = std::remove_if(transitions.begin(), transitions.end(), [&](const Transition& t) {
      const bool unusable = Lower(static_cast<char>(t.character)) != t.character || seen[t.character];
      seen[t.character] = true;
      return unusable;
    });
    cut |= kept != transitions.end();
    transitions.erase(kept, transitions.end());
    for (Transition& t : node.transitions) {
      // An entry whose level is not one of the four is damage: no such entry can be added, and
      // a level past Block would count for several blocks in the sum rule.
      cut |= DropEntryOfBadLevel(t, kFullFlag, t.fullLevel);
      cut |= DropEntryOfBadLevel(t, kPartialFlag, t.partialLevel);
      if (t.next == kNoNode) {
        continue;
      }
      if (t.next >= m_nodes.size() || linked[t.next]) {
        t.next = kNoNode;
        cut = true;
      } else {
        linked[t.next] = true;
      }
    }
    node.mask = MaskOf(node);
  }
  return complete && !cut;
}

bool FamilyDictionary::LoadDictionary(const std::string& path) {
  const std::optional<std::string> bytes = ReadWholeFile(path);
  bool ok = false;
  {
    std::unique_lock lock(m_lock);
    if (!bytes) {
      m_nodes.assign(1, Node{});
      return false;
    }
    ok = FromBytesLocked(*bytes);
  }
  if (!ok) {
    LogMessage(0, kLogWarning,
               "Family dictionary %s is damaged; kept what was readable of %zu bytes", path.c_str(),
               bytes->size());
  }
  return ok;
}

bool FamilyDictionary::SaveDictionary(const std::string& path) const {
  if (!WriteFileAtomically(path, ToBytes())) {
    LogMessage(kLogStatusBar, kLogError, "Cannot write family dictionary %s", path.c_str());
    return false;
  }
  return true;
}

}  // namespace tulix
