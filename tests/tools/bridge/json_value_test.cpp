// The bridge's JSON reader on what browsers send and on what they must never get through.
#include "tools/bridge/json_value.h"

#include <gtest/gtest.h>

#include <string>

namespace tulix::bridge {
namespace {

TEST(JsonValue, ReadsRequestsWithAllValueKinds) {
  JsonParseResult parsed = ParseJson(
      " {\"id\": 7, \"method\": \"StartSearch\", \"params\": [\"wh\\u00e4le \\\"x\\\"\\n\", -1,"
      " 2147483648, 1.5, 1e3, true, false, null, [], {}]} ");
  ASSERT_TRUE(parsed.value) << parsed.error;
  const JsonValue& request = *parsed.value;
  ASSERT_NE(request.Find("id"), nullptr);
  EXPECT_EQ(request.Find("id")->AsNumber()->integer, 7);
  EXPECT_EQ(*request.Find("method")->AsString(), "StartSearch");
  EXPECT_EQ(request.Find("missing"), nullptr);
  const JsonArray& params = *request.Find("params")->AsArray();
  ASSERT_EQ(params.size(), 10u);
  EXPECT_EQ(*params[0].AsString(), "wh\xC3\xA4le \"x\"\n");
  EXPECT_EQ(params[1].AsNumber()->integer, -1);
  EXPECT_EQ(params[2].AsNumber()->integer, 2147483648LL);
  EXPECT_FALSE(params[3].AsNumber()->integer.has_value());
  EXPECT_EQ(params[3].AsNumber()->text, "1.5");
  EXPECT_FALSE(params[4].AsNumber()->integer.has_value());
  EXPECT_TRUE(*params[5].AsBool());
  EXPECT_FALSE(*params[6].AsBool());
  EXPECT_TRUE(params[7].IsNull());
  EXPECT_TRUE(params[8].AsArray()->empty());
  EXPECT_TRUE(params[9].AsObject()->empty());

  // A surrogate pair becomes one four-byte character; raw UTF-8 passes as it is.
  parsed = ParseJson("[\"\\ud83d\\udc33\", \"\xF0\x9F\x90\xB3\", \"\\/\"]");
  ASSERT_TRUE(parsed.value) << parsed.error;
  EXPECT_EQ(*(*parsed.value->AsArray())[0].AsString(), "\xF0\x9F\x90\xB3");
  EXPECT_EQ(*(*parsed.value->AsArray())[1].AsString(), "\xF0\x9F\x90\xB3");
  EXPECT_EQ(*(*parsed.value->AsArray())[2].AsString(), "/");
  // Too large for 64 bits: still a number, but no integer.
  parsed = ParseJson("99999999999999999999");
  ASSERT_TRUE(parsed.value);
  EXPECT_FALSE(parsed.value->AsNumber()->integer.has_value());
}

TEST(JsonValue, RefusesEverythingOutsideTheGrammar) {
  const char* bad[] = {
      "",
      "   ",
      "{",
      "{\"a\":1,}",
      "[1,]",
      "[1 2]",
      "{'a':1}",
      "{\"a\" 1}",
      "{a:1}",
      "{\"a\":1,\"a\":2}",
      "01",
      "-",
      "1.",
      ".5",
      "1e",
      "+1",
      "tru",
      "nul",
      "\"open",
      "\"tab\there\"",
      "\"\\x41\"",
      "\"\\u12\"",
      "\"\\udc33\"",
      "\"\\ud83d\"",
      "\"\\ud83dx\"",
      "\"\xC3\"",
      "\"\xC0\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\xFF\"",
      "{} {}",
      "[1] x",
      "// comment\n{}",
      "NaN",
  };
  for (const char* text : bad) {
    JsonParseResult parsed = ParseJson(text);
    EXPECT_FALSE(parsed.value.has_value()) << "accepted: " << text;
    EXPECT_NE(parsed.error.find(" at byte "), std::string::npos) << text;
  }
  // Deep nesting is refused before it can use up the stack, at any depth above the limit.
  std::string deep(kMaxJsonDepth, '[');
  deep += std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(ParseJson(deep).value.has_value());
  std::string deeper(kMaxJsonDepth + 1, '[');
  deeper += std::string(kMaxJsonDepth + 1, ']');
  EXPECT_FALSE(ParseJson(deeper).value.has_value());
  EXPECT_FALSE(ParseJson(std::string(100000, '[')).value.has_value());
}

TEST(JsonValue, WrittenStringsReadBackTheSame) {
  for (const std::string& text :
       {std::string("plain"), std::string("q\"b\\s/\x01\x1f\x7f"),
        std::string("caf\xC3\xA9 \xF0\x9F\x90\xB3"), std::string("nul\0in", 6)}) {
    std::string json;
    AppendJsonString(json, text);
    JsonParseResult parsed = ParseJson(json);
    ASSERT_TRUE(parsed.value) << json << ": " << parsed.error;
    EXPECT_EQ(*parsed.value->AsString(), text);
  }
}

}  // namespace
}  // namespace tulix::bridge
