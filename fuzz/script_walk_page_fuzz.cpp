// A script walk of arbitrary pages under the real engine definitions written for the saved
// result pages in tests/fixtures: the first byte picks the definition, the rest is the page the
// engine answered. The walk must end, and every hit it hands over must pass CheckingSink.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "script_walk.h"

namespace {

std::unique_ptr<tulix::EngineDefinition> g_engines[tulix::fuzz::kFixtureEngineCount];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace tulix::fuzz;
  for (size_t i = 0; i < kFixtureEngineCount; ++i) {
    const std::string name = kFixtureEngines[i];
    WriteCategoryFile(name + ".states", FixtureBytes(FixtureEnginePath(name, ".states")));
    g_engines[i] = std::make_unique<tulix::EngineDefinition>();
    g_engines[i]->SetFilePath(
        WriteCategoryFile(name + ".ini", FixtureBytes(FixtureEnginePath(name, ".ini"))));
    FUZZ_CHECK(g_engines[i]->Load());
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const tulix::EngineDefinition& engine = *g_engines[data[0] % tulix::fuzz::kFixtureEngineCount];
  tulix::fuzz::WalkPage(engine, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  return 0;
}
