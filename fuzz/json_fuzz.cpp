// The bridge's JSON reader on arbitrary text. What it accepts is written out again and read
// back: strings survive AppendJsonString and the reader unchanged, and a value that parsed
// once parses the same way twice.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tools/bridge/json_value.h"
namespace bridge = tulix::bridge;

namespace {

// Every string in the value, names included, goes out through the writer and back through the
// reader.
void RoundTripStrings(const bridge::JsonValue& value, int depth) {
  FUZZ_CHECK(depth <= bridge::kMaxJsonDepth + 1);
  const auto roundTrip = [](const std::string& s) {
    std::string written;
    bridge::AppendJsonString(written, s);
    const bridge::JsonParseResult back = bridge::ParseJson(written);
    FUZZ_CHECK(back.value.has_value());
    const std::string* read = back.value->AsString();
    FUZZ_CHECK(read != nullptr && *read == s);
  };
  if (const std::string* s = value.AsString()) {
    roundTrip(*s);
  } else if (const bridge::JsonArray* array = value.AsArray()) {
    for (const bridge::JsonValue& item : *array) {
      RoundTripStrings(item, depth + 1);
    }
  } else if (const bridge::JsonObject* object = value.AsObject()) {
    for (const auto& [name, item] : *object) {
      roundTrip(name);
      FUZZ_CHECK(value.Find(name) != nullptr);
      RoundTripStrings(item, depth + 1);
    }
  } else if (const bridge::JsonNumber* number = value.AsNumber()) {
    FUZZ_CHECK(!number->text.empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bridge::JsonParseResult parsed = bridge::ParseJson(text);
  if (!parsed.value) {
    FUZZ_CHECK(!parsed.error.empty());
    return 0;
  }
  RoundTripStrings(*parsed.value, 0);
  return 0;
}
