#include "family/family_dictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "base/application.h"
#include "test_support.h"

namespace tulix {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

class FamilyDictionaryTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope.emplace(*m_app);
    m_app->FamilyMode = 1;
  }
  void TearDown() override {
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  bool Allowed(std::string_view text) const {
    return m_dict.IsTextAllowed(text, kFamilySeparators);
  }

  // A little-endian u16 as two bytes.
  static std::string U16(unsigned v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
  }
  // A node of the file with the given transitions (already encoded) and a junk mask.
  static std::string NodeBytes(unsigned count, const std::string& transitions) {
    return std::string("\xEE\xEE\xEE\xEE", 4) + U16(count) + transitions;
  }
  // One transition in file order: full level, next, partial level, flags, character.
  static std::string TransitionBytes(char c, unsigned flags, unsigned next, unsigned full,
                                     unsigned partial) {
    return std::string(1, static_cast<char>(full)) + U16(next) +
           std::string(1, static_cast<char>(partial)) + std::string(1, static_cast<char>(flags)) +
           std::string(1, c);
  }

  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
  FamilyDictionary m_dict;
};

TEST_F(FamilyDictionaryTest, PartialEntriesMatchInsideWordsFullWordsOnlyWhole) {
  ASSERT_TRUE(m_dict.AddWord("HIM", kPartialEntry, kLevelBlock));  // stored lower case
  EXPECT_FALSE(Allowed("chime"));
  EXPECT_FALSE(Allowed("Whimsical"));
  ASSERT_TRUE(m_dict.RemoveWord("him", kPartialEntry));
  EXPECT_TRUE(Allowed("chime"));

  ASSERT_TRUE(m_dict.AddWord("him", kFullWordEntry, kLevelBlock));
  EXPECT_FALSE(Allowed("him."));
  EXPECT_FALSE(Allowed("I saw him"));
  EXPECT_FALSE(Allowed("Him and her"));
  EXPECT_TRUE(Allowed("chime"));
  EXPECT_TRUE(Allowed("whim"));
  EXPECT_TRUE(Allowed("himself"));
  EXPECT_TRUE(Allowed("him,"));  // the family check separates words by blank and full stop only

  ASSERT_TRUE(m_dict.AddWord("cat", kFullWordEntry, kLevelBlock));
  EXPECT_FALSE(Allowed("cat"));
  EXPECT_TRUE(Allowed("concat"));
  EXPECT_TRUE(Allowed("cats"));

  // The levels MatchAt gives, and the word-start rule.
  EXPECT_EQ(m_dict.MatchAt("cat.", 0, true, kFamilySeparators), kLevelBlock);
  EXPECT_EQ(m_dict.MatchAt("cat.", 0, false, kFamilySeparators), 0);
  EXPECT_EQ(m_dict.MatchAt("ca", 0, true, kFamilySeparators), 0);

  // Outside family mode every text is allowed.
  m_app->FamilyMode = 0;
  EXPECT_TRUE(Allowed("cat"));
  EXPECT_FALSE(m_dict.PassesWordCheck("cat", kFamilySeparators));
}

TEST_F(FamilyDictionaryTest, LevelsAddUpUntilFourBlocks) {
  ASSERT_TRUE(m_dict.AddWord("low", kFullWordEntry, kLevelLow));
  ASSERT_TRUE(m_dict.AddWord("mid", kFullWordEntry, kLevelMedium));
  ASSERT_TRUE(m_dict.AddWord("top", kFullWordEntry, kLevelHigh));
  EXPECT_TRUE(Allowed("low low low"));
  EXPECT_FALSE(Allowed("low low low low"));
  EXPECT_TRUE(Allowed("mid low"));
  EXPECT_FALSE(Allowed("mid mid"));
  EXPECT_FALSE(Allowed("top. low"));
  EXPECT_TRUE(Allowed("top"));
  // A partial entry hits once per position it is found at.
  ASSERT_TRUE(m_dict.AddWord("xx", kPartialEntry, kLevelMedium));
  EXPECT_TRUE(Allowed("axxb"));
  EXPECT_FALSE(Allowed("xxxx"));  // found at three positions
}

TEST_F(FamilyDictionaryTest, EntriesSurviveSaveAndLoadWithKindsAndLevels) {
  ASSERT_TRUE(m_dict.AddWord("him", kFullWordEntry, kLevelHigh));
  ASSERT_TRUE(m_dict.AddWord("him", kPartialEntry, kLevelLow));  // both kinds, each its level
  ASSERT_TRUE(m_dict.AddWord("hi", kPartialEntry, kLevelMedium));
  ASSERT_TRUE(m_dict.AddWord("cat", kFullWordEntry, kLevelBlock));
  ASSERT_TRUE(m_dict.AddWord("cat", kFullWordEntry, kLevelLow));  // a second add changes the level
  EXPECT_FALSE(m_dict.AddWord("", kFullWordEntry, kLevelLow));
  EXPECT_FALSE(m_dict.AddWord("dog", 3, kLevelLow));
  EXPECT_FALSE(m_dict.AddWord("dog", kFullWordEntry, 5));
  EXPECT_FALSE(m_dict.RemoveWord("dog", kFullWordEntry));
  EXPECT_FALSE(m_dict.RemoveWord("ca", kFullWordEntry));

  const std::vector<DictionaryEntry> expected = {{"hi", kPartialEntry, kLevelMedium},
                                                 {"him", kFullWordEntry, kLevelHigh},
                                                 {"him", kPartialEntry, kLevelLow},
                                                 {"cat", kFullWordEntry, kLevelLow}};
  EXPECT_EQ(m_dict.Entries(), expected);

  const std::string file = m_home + "/dictionary.bin";
  ASSERT_TRUE(m_dict.SaveDictionary(file));
  FamilyDictionary loaded;
  ASSERT_TRUE(loaded.AddWord("stale", kFullWordEntry, kLevelLow));
  ASSERT_TRUE(loaded.LoadDictionary(file));
  EXPECT_EQ(loaded.Entries(), expected);
  EXPECT_EQ(loaded.ToBytes(), ReadFileBytes(file));

  // Removing the last entry of a transition without a next node takes the transition away;
  // the nodes stay.
  const size_t nodes = loaded.NodeCount();
  ASSERT_TRUE(loaded.RemoveWord("CAT", kFullWordEntry));
  EXPECT_EQ(loaded.NodeCount(), nodes);
  EXPECT_EQ(loaded.MatchAt("cat", 0, true, kFamilySeparators), 0);
  ASSERT_TRUE(loaded.AddWord("cat", kPartialEntry, kLevelHigh));
  EXPECT_EQ(loaded.MatchAt("cat", 0, true, kFamilySeparators), kLevelHigh);
}

TEST_F(FamilyDictionaryTest, FileBytesFollowTheStoredLayout) {
  const std::string file = m_home + "/dictionary.bin";
  ASSERT_TRUE(m_dict.SaveDictionary(file));
  // One node, mask 0, no transitions.
  EXPECT_EQ(ReadFileBytes(file), std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8));

  ASSERT_TRUE(m_dict.AddWord("a.", kFullWordEntry, kLevelBlock));
  ASSERT_TRUE(m_dict.AddWord("a", kPartialEntry, kLevelMedium));
  const std::string expected =
      U16(2) +
      // root: mask bit 3 for 'a', one transition to node 1
      std::string("\x08\x00\x00\x00", 4) + U16(1) + TransitionBytes('a', 2, 1, 0, kLevelMedium) +
      // node 1: mask bit 1 for '.', full word ends, no next node
      std::string("\x02\x00\x00\x00", 4) + U16(1) + TransitionBytes('.', 1, 0xFFFF, kLevelBlock, 0);
  EXPECT_EQ(m_dict.ToBytes(), expected);
}

TEST_F(FamilyDictionaryTest, MissingOrTruncatedFilesKeepOnlyWhatWasComplete) {
  EXPECT_FALSE(m_dict.LoadDictionary(m_home + "/none.bin"));
  EXPECT_EQ(m_dict.NodeCount(), 1u);
  EXPECT_TRUE(m_dict.Entries().empty());

  FamilyDictionary source;
  for (const char* word : {"him", "hit", "chime", "cat", "a"}) {
    ASSERT_TRUE(source.AddWord(word, kFullWordEntry, kLevelHigh));
    ASSERT_TRUE(source.AddWord(word, kPartialEntry, kLevelLow));
  }
  const std::string bytes = source.ToBytes();
  const std::vector<DictionaryEntry> all = source.Entries();
  for (size_t length = 0; length < bytes.size(); ++length) {
    // A copy of exactly `length` bytes, so a read past the cut is a read past the buffer.
    const auto cut = std::make_unique<char[]>(length);
    std::copy_n(bytes.data(), length, cut.get());
    FamilyDictionary loaded;
    EXPECT_FALSE(loaded.FromBytes(std::string_view(cut.get(), length))) << length;
    ASSERT_GE(loaded.NodeCount(), 1u);
    for (const DictionaryEntry& entry : loaded.Entries()) {
      EXPECT_NE(std::find(all.begin(), all.end(), entry), all.end()) << length << entry.word;
    }
    loaded.PassesWordCheck("chime him hit cat a", kFamilySeparators);
  }

  const std::string file = m_home + "/dictionary.bin";
  WriteFileBytes(file, bytes.substr(0, bytes.size() - 1));
  EXPECT_FALSE(m_dict.LoadDictionary(file));
  WriteFileBytes(file, bytes);
  EXPECT_TRUE(m_dict.LoadDictionary(file));
  EXPECT_EQ(m_dict.Entries(), all);
}

TEST_F(FamilyDictionaryTest, LinksOutsideTheTableOrBackIntoTheTreeAreCut) {
  // The root's 'a' leads past the table; 'b' leads to node 1, which leads back to the root
  // and to itself; 'c' also leads to node 1, which is taken already.
  const std::string bytes =
      U16(2) +
      NodeBytes(3, TransitionBytes('a', 1, 7, kLevelBlock, 0) + TransitionBytes('b', 0, 1, 0, 0) +
                       TransitionBytes('c', 1, 1, 1, 0)) +
      NodeBytes(2, TransitionBytes('b', 0, 0, 0, 0) + TransitionBytes('x', 1, 1, 1, 0));
  EXPECT_FALSE(m_dict.FromBytes(bytes));
  // Every walk ends: along "bbbb..." the walk would have gone round for ever.
  const std::string longText(5000, 'b');
  EXPECT_EQ(m_dict.MatchAt(longText, 0, true, kFamilySeparators), 0);
  EXPECT_EQ(m_dict.MatchAt("a", 0, true, kFamilySeparators), kLevelBlock);
  EXPECT_EQ(m_dict.MatchAt("bx", 0, true, kFamilySeparators), kLevelLow);
  EXPECT_EQ(m_dict.MatchAt("bxx", 0, true, kFamilySeparators), 0);
  const std::vector<DictionaryEntry> expected = {{"a", kFullWordEntry, kLevelBlock},
                                                 {"bx", kFullWordEntry, kLevelLow},
                                                 {"c", kFullWordEntry, kLevelLow}};
  EXPECT_EQ(m_dict.Entries(), expected);
  // Edits after the cut stay consistent.
  ASSERT_TRUE(m_dict.AddWord("cz", kFullWordEntry, kLevelHigh));
  EXPECT_EQ(m_dict.MatchAt("cz", 0, true, kFamilySeparators), kLevelHigh);
  EXPECT_EQ(m_dict.MatchAt("bz", 0, true, kFamilySeparators), 0);

  // A node count of zero has no root.
  EXPECT_FALSE(m_dict.FromBytes(U16(0)));
  EXPECT_EQ(m_dict.NodeCount(), 1u);

  // An entry of a level that is none of the four goes; one of 200 would count as fifty blocks.
  EXPECT_FALSE(m_dict.FromBytes(U16(1) + NodeBytes(2, TransitionBytes('d', 1, 0xFFFF, 200, 0) +
                                                          TransitionBytes('e', 3, 0xFFFF, 3, 0))));
  EXPECT_EQ(m_dict.Entries(), (std::vector<DictionaryEntry>{{"e", kFullWordEntry, kLevelHigh}}));
  EXPECT_TRUE(m_dict.PassesWordCheck("d", kFamilySeparators));
  // So does a transition no walk can take: a capital, or a second one for a character.
  EXPECT_FALSE(m_dict.FromBytes(U16(1) + NodeBytes(3, TransitionBytes('F', 1, 0xFFFF, 2, 0) +
                                                          TransitionBytes('g', 1, 0xFFFF, 2, 0) +
                                                          TransitionBytes('g', 1, 0xFFFF, 4, 0))));
  EXPECT_EQ(m_dict.Entries(), (std::vector<DictionaryEntry>{{"g", kFullWordEntry, kLevelMedium}}));
}

TEST_F(FamilyDictionaryTest, TheNodeTableNeverOutgrowsTheSixteenBitIndex) {
  // A file that claims 65,535 nodes but holds one is cut after it.
  EXPECT_FALSE(m_dict.FromBytes(U16(0xFFFF) + NodeBytes(0, "")));
  EXPECT_EQ(m_dict.NodeCount(), 1u);

  // A whole file of 65,535 nodes loads: its last index, 65,534, is still not "none".
  std::string bytes = U16(0xFFFF) + NodeBytes(1, TransitionBytes('q', 0, 0xFFFE, 0, 0));
  for (size_t n = 1; n < FamilyDictionary::kMaxNodes; ++n) {
    bytes += NodeBytes(0, "");
  }
  ASSERT_TRUE(m_dict.FromBytes(bytes));
  ASSERT_EQ(m_dict.NodeCount(), FamilyDictionary::kMaxNodes);
  // A word that needs a new node is refused and changes nothing; one that needs none fits.
  EXPECT_FALSE(m_dict.AddWord("ab", kFullWordEntry, kLevelLow));
  EXPECT_FALSE(m_dict.AddWord("qrs", kFullWordEntry, kLevelLow));
  EXPECT_EQ(m_dict.NodeCount(), FamilyDictionary::kMaxNodes);
  EXPECT_TRUE(m_dict.Entries().empty());
  EXPECT_TRUE(m_dict.AddWord("a", kFullWordEntry, kLevelLow));
  EXPECT_TRUE(m_dict.AddWord("qr", kFullWordEntry, kLevelHigh));
  EXPECT_EQ(m_dict.MatchAt("qr", 0, true, kFamilySeparators), kLevelHigh);
  EXPECT_EQ(m_dict.ToBytes().size(), bytes.size() + 12);
}

}  // namespace
}  // namespace tulix
