#include "base/decimal_number.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace tulix {
namespace {

TEST(DecimalNumber, ReadsAndWritesAsTheCLocaleDoesUnderAnyLocale) {
  test::CommaDecimalLocale german;
  if (!german.active()) {
    GTEST_SKIP() << "no locale with a decimal comma installed (Debian: locales-all)";
  }
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"1.5", 1.5},   {" \t+2.25e2 and more", 225},
      {"-0.5", -0.5}, {".5", 0.5},
      {"1,5", 1},     {"", 0},
      {"   ", 0},     {"abc", 0},
      {"+-1", 0},     {"+", 0},
      {"1e999", 0},   {"1109876543.25", 1109876543.25},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(FormatDecimal(1.5, 6), "1.500000");
  EXPECT_EQ(FormatDecimal(2.0 / 3, 3), "0.667");
  EXPECT_EQ(FormatDecimal(-1109876543.25, 2), "-1109876543.25");
  EXPECT_EQ(FormatDecimal(1e300, 0).size(), 301u);
}

}  // namespace
}  // namespace tulix
