// A small, strict JSON reader for the bridge's requests.
//
// It accepts exactly the grammar of RFC 8259 over UTF-8 text: no comments, no trailing commas,
// no single quotes, no bytes that are not valid UTF-8, no control characters inside strings,
// and nothing but white space after the value. Nesting is limited so that a hostile message
// cannot exhaust the stack. Strings come out as UTF-8, with \u escapes (surrogate pairs
// included) decoded; a lone surrogate escape is refused. A number is kept as written and also
// as an integer when it is one (no fraction, no exponent) that fits 64 bits.
//
// Thread safety: values are plain data; ParseJson keeps no state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tulix::bridge {

class JsonValue;
using JsonArray = std::vector<JsonValue>;
// Members in the order written; a repeated name is refused by the reader.
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

struct JsonNumber {
  std::string text;                // as written
  std::optional<int64_t> integer;  // set when the number is a whole number that fits
};

class JsonValue {
 public:
  using Storage =
      std::variant<std::nullptr_t, bool, JsonNumber, std::string, JsonArray, JsonObject>;

  JsonValue() : m_value(nullptr) {}
  explicit JsonValue(Storage value) : m_value(std::move(value)) {}

  bool IsNull() const { return std::holds_alternative<std::nullptr_t>(m_value); }
  const bool* AsBool() const { return std::get_if<bool>(&m_value); }
  const JsonNumber* AsNumber() const { return std::get_if<JsonNumber>(&m_value); }
  const std::string* AsString() const { return std::get_if<std::string>(&m_value); }
  const JsonArray* AsArray() const { return std::get_if<JsonArray>(&m_value); }
  const JsonObject* AsObject() const { return std::get_if<JsonObject>(&m_value); }

  // The member `name` of an object; null when this is no object or has no such member.
  const JsonValue* Find(std::string_view name) const;

 private:
  Storage m_value;
};

inline constexpr int kMaxJsonDepth = 64;

struct JsonParseResult {
  std::optional<JsonValue> value;  // set on success
  std::string error;               // what is wrong and at which byte, on failure
};

JsonParseResult ParseJson(std::string_view text);

// Appends `value` to `out` as a JSON string, quotes included.
void AppendJsonString(std::string& out, std::string_view value);

}  // namespace tulix::bridge
