// The URL parser and address resolution on arbitrary text. The input is a page address, a line
// feed, and a link found on that page (the whole input is the address when there is no line
// feed). Checks the promises callers build on: a parsed object starts with "/", parsed parts
// stay within the length bound, a failed parse leaves its output alone, and the base-address
// helpers agree with the parser on what parses.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/address_resolution.h"
#include "fuzz_support.h"
#include "platform/url.h"

namespace {

void CheckParse(std::string_view text) {
  tulix::ParsedUrl url;
  url.server = "untouched";
  if (!tulix::ParseUrl(text, &url)) {
    FUZZ_CHECK(url.server == "untouched" && url.object.empty() && url.port == 0);
    return;
  }
  FUZZ_CHECK(!url.object.empty() && url.object[0] == '/');
  FUZZ_CHECK(url.server.size() <= tulix::kMaxUrlLength);
  FUZZ_CHECK(url.object.size() <= tulix::kMaxUrlLength);
  tulix::UsesHttps(url);
  tulix::IsWebService(url.serviceType);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tulix::fuzz::UsePrivateProgramFolder();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\n');
  const std::string_view base = input.substr(0, split);
  const std::string_view link = split == std::string_view::npos ? "" : input.substr(split + 1);

  CheckParse(base);
  CheckParse(link);
  const std::string resolved = tulix::ResolveAddress(base, link);
  CheckParse(resolved);

  std::string directory = "d", file = "f", query = "q";
  const bool split_ok = tulix::SplitBaseAddress(base, &directory, &file, &query);
  if (!split_ok) {
    FUZZ_CHECK(directory == "d" && file == "f" && query == "q");
  }
  std::string root = "r", object = "o";
  const bool root_ok = tulix::RootAddress(base, &root, &object);
  FUZZ_CHECK(root_ok == split_ok);
  if (root_ok) {
    FUZZ_CHECK(!object.empty() && object[0] == '/');
    FUZZ_CHECK(root.rfind("http://", 0) == 0 || root.rfind("https://", 0) == 0);
  } else {
    FUZZ_CHECK(root == "r" && object == "o");
  }

  const std::string joined = tulix::JoinWithSeparator(base, link, '/');
  FUZZ_CHECK(joined.size() <= base.size() + link.size() + 1);
  const std::string encoded = tulix::EncodeQueryValue(input);
  FUZZ_CHECK(encoded.size() <= input.size() * 3);
  FUZZ_CHECK(!tulix::HasControlCharacters(encoded));
  return 0;
}
