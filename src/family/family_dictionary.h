// The family censor dictionary: the words whose presence hides a text while family mode is on,
// each either a full word or a partial match (a piece of any word), with a warning level from
// "Low" to "Block".
//
// The words are kept as a tree of nodes from the root (node 0): each node has transitions, one
// per next character, and a transition marks where a full-word or partial entry ends with that
// entry's level. The file dictionary.bin holds the tree as it is in memory, little-endian, with
// no header:
//   node count (u16), then per node: class mask (u32, ignored on reading and rebuilt),
//   transition count (u16), then per transition 6 bytes: full level (u8), next node (u16,
//   0xFFFF = none), partial level (u8), flags (u8: 1 full word ends, 2 partial ends),
//   character (u8, lower case).
// The file is the user's own data and has no checksum, so loading trusts nothing in it: a
// truncated file keeps what was complete before the cut, and links that point outside the
// table, back to the root or to a node already linked (which could make a walk go round) are
// cut. The walks of the tree therefore always end.
//
// Ownership: the application object holds the program's dictionary (App().familyDictionary).
//
// Thread safety: every member may be called from any thread. The censor page edits the
// dictionary on the user-interface thread while results may be checked elsewhere; a
// reader-writer lock inside keeps a check from seeing an edit half done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tulix {

// Kinds of entry.
inline constexpr int kFullWordEntry = 1;
inline constexpr int kPartialEntry = 2;

// Warning levels of an entry.
inline constexpr int kLevelLow = 1;
inline constexpr int kLevelMedium = 2;
inline constexpr int kLevelHigh = 3;
inline constexpr int kLevelBlock = 4;

// A text whose levels add up to this is not allowed.
inline constexpr int kBlockingTotal = 4;

// The word separators of the results list's family check: blank and full stop.
inline constexpr std::string_view kFamilySeparators = " .";

// "Low", "Medium", "High", "Block"; "" for any other level.
const char* WarningLevelText(int level);
// "full word" or "partial", as the censor page's list shows the kind; "" for any other kind.
const char* EntryKindText(int kind);

struct DictionaryEntry {
  std::string word;
  int kind = kFullWordEntry;
  int level = kLevelLow;
  bool operator==(const DictionaryEntry&) const = default;
};

class FamilyDictionary {
 public:
  // The node index is 16 bits and 0xFFFF means "no node", so 65,535 nodes is the most a
  // dictionary (and its file) can hold.
  static constexpr size_t kMaxNodes = 0xFFFF;

  // An empty dictionary: the root node only.
  FamilyDictionary();
  FamilyDictionary(const FamilyDictionary&) = delete;
  FamilyDictionary& operator=(const FamilyDictionary&) = delete;

  // Adds (or changes the level of) the entry of `word`, lower-cased (A to Z), of `kind` with
  // `level`. False, changing nothing, for an empty word, an unknown kind, a level outside 1..4,
  // or when the new nodes would not fit below kMaxNodes.
  bool AddWord(std::string_view word, int kind, int level);
  // Removes the entry of `word` of `kind`; a transition left with no entry and no next node
  // goes too. Nodes are never removed. False when there was no such entry.
  bool RemoveWord(std::string_view word, int kind);
  // Every entry as (word, kind, level), in the order of the tree (a word's full entry before
  // its partial one).
  std::vector<DictionaryEntry> Entries() const;
  // Removes every entry: the root node only.
  void Clear();
  size_t NodeCount() const;

  // The level of the entry that matches `text` from `position`, 0 when none. A full-word entry
  // matches only from a word start and only when the text ends after it or goes on with one of
  // `separators`; a partial entry matches anywhere, the shortest one along the way first.
  int MatchAt(std::string_view text, size_t position, bool atWordStart,
              std::string_view separators) const;
  // The sum rule without regard to family mode: false as soon as the levels of the matches at
  // the positions of the text (each that is not a separator) add up to kBlockingTotal.
  bool PassesWordCheck(std::string_view text, std::string_view separators) const;
  // True while family mode is off; otherwise PassesWordCheck.
  bool IsTextAllowed(std::string_view text, std::string_view separators) const;

  // Empties the dictionary and reads `path`. A missing file leaves the root only and returns
  // false silently; a damaged one keeps what could be read safely, logs a warning and returns
  // false.
  bool LoadDictionary(const std::string& path);
  // Replaces `path` with the whole dictionary (through a temporary file, so a failed write
  // leaves the old file). False, logged, when it cannot be written.
  bool SaveDictionary(const std::string& path) const;

  // The file's bytes for the dictionary, and the reverse. FromBytes returns false when it had
  // to stop early or cut links; what it kept is in the dictionary either way.
  std::string ToBytes() const;
  bool FromBytes(std::string_view bytes);

 private:
  static constexpr uint16_t kNoNode = 0xFFFF;
  static constexpr uint8_t kFullFlag = 1;
  static constexpr uint8_t kPartialFlag = 2;

  struct Transition {
    uint8_t character = 0;
    uint8_t flags = 0;
    uint16_t next = kNoNode;
    uint8_t partialLevel = 0;
    uint8_t fullLevel = 0;
  };
  struct Node {
    uint32_t mask = 0;
    std::vector<Transition> transitions;
  };

  static uint32_t ClassBit(unsigned char c);
  static uint32_t MaskOf(const Node& node);
  static const Transition* FindIn(const Node& node, unsigned char c);
  // The transition of the last character of `word` (lower-cased), or null.
  Transition* FindWordEnd(std::string_view word, size_t* node);
  int MatchAtLocked(std::string_view text, size_t position, bool atWordStart,
                    std::string_view separators) const;
  bool FromBytesLocked(std::string_view bytes);
  // Removes the entry `flag` of `t` when its level is outside 1..4; true when it did.
  static bool DropEntryOfBadLevel(Transition& t, uint8_t flag, uint8_t& level);

  mutable std::shared_mutex m_lock;
  std::vector<Node> m_nodes;  // guarded by m_lock; never empty (node 0 is the root)
};

}  // namespace tulix
