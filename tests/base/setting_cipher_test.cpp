#include "base/setting_cipher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tulix {
namespace {

// Pinned stored forms, computed outside this program with an independent Blowfish under the key
// "lorvanet". A cipher that only agrees with itself fails here.
TEST(SettingCipher, KnownStoredForms) {
  EXPECT_EQ(EncipherSetting("abcdefgh"), "?<<84<36:8<23<>6");
  EXPECT_EQ(EncipherSetting("parent@example.org"),
            "4?3:20=423<1658972:746;;64;73><<49<2<33>=1:965:0");
  EXPECT_EQ(DecipherSetting("4?3:20=423<1658972:746;;64;73><<49<2<33>=1:965:0"),
            "parent@example.org");
  // A full block has no zero byte after it: the text ends at the last byte.
  EXPECT_EQ(DecipherSetting("?<<84<36:8<23<>6"), "abcdefgh");
}

TEST(SettingCipher, LengthsAndRoundTrip) {
  EXPECT_EQ(EncipherSetting(""), "");
  EXPECT_EQ(DecipherSetting(""), "");
  const std::vector<std::string> texts = {"a",
                                          "1234567",
                                          "12345678",
                                          "123456789",
                                          "x@y.z;Name <a@b.c>",
                                          std::string(200, 'q'),
                                          std::string("\xFF\x80\x01", 3)};
  for (const std::string& text : texts) {
    const std::string stored = EncipherSetting(text);
    EXPECT_EQ(stored.size(), 16 * ((text.size() + 7) / 8)) << text;
    for (char c : stored) {
      EXPECT_TRUE(c >= '0' && c <= '?') << "character " << int(c) << " for " << text;
    }
    EXPECT_EQ(DecipherSetting(stored), text);
  }
}

TEST(SettingCipher, StoredTextOfWrongLengthGivesEmptyText) {
  const std::string stored = EncipherSetting("parent@example.org");  // 48 characters
  EXPECT_EQ(DecipherSetting(stored.substr(0, 15)), "");
  EXPECT_EQ(DecipherSetting(stored.substr(0, 17)), "");
  EXPECT_EQ(DecipherSetting(stored.substr(0, 47)), "");
  EXPECT_EQ(DecipherSetting(stored + "0"), "");
  // Whole blocks still decipher: the first block alone gives the first 8 characters.
  EXPECT_EQ(DecipherSetting(stored.substr(0, 16)), "parent@e");
}

}  // namespace
}  // namespace tulix
