// A script walk of a real saved result page under an arbitrary engine definition and state
// file, as the update server could send them. The input is the page's pick (first byte, one of
// the saved pages in tests/fixtures), then the definition, the separator line below, and the
// state file. The definition names its state file; it is written as fuzz.states, which the seeds
// name, so a definition that names another file walks without states.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "script_walk.h"

namespace {

constexpr std::string_view kStatesSeparator = "\n====states====\n";

std::string g_pages[tulix::fuzz::kFixtureEngineCount];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace tulix::fuzz;
  for (size_t i = 0; i < kFixtureEngineCount; ++i) {
    // The first 128 KB of each page hold most of its results; whole pages (up to half a
    // megabyte) would make the target too slow to explore definitions.
    g_pages[i] = FixtureBytes(FixturePagePath(kFixtureEngines[i])).substr(0, 128 * 1024);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tulix::fuzz;
  if (size == 0) {
    return 0;
  }
  const std::string& page = g_pages[data[0] % kFixtureEngineCount];
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t split = rest.find(kStatesSeparator);
  const std::string_view definition = rest.substr(0, split);
  const std::string_view states =
      split == std::string_view::npos ? std::string_view() : rest.substr(split + kStatesSeparator.size());

  tulix::ClearProfileCache();
  WriteCategoryFile("fuzz.states", states);
  tulix::EngineDefinition engine;
  engine.SetFilePath(WriteCategoryFile("fuzz.ini", definition));
  engine.Load();
  WalkPage(engine, page);
  return 0;
}
