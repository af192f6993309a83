// Reads arbitrary text as a saved search's results file, saves the results it kept to a second
// file and reads that one back: the results must come back in the same order with the same
// addresses, texts, engines, visit times and scores. A results file the program wrote itself
// must never lose or change what it held.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/profile_file.h"
#include "results/saved_search.h"
#include "results/search_result.h"

namespace {

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(static_cast<bool>(out));
}

bool SameResult(const tulix::SearchResult& a, const tulix::SearchResult& b) {
  return a.href == b.href && a.text == b.text && a.engines == b.engines &&
         a.visited == b.visited && a.score.percent == b.score.percent &&
         a.score.engines == b.score.engines && a.score.keywords == b.score.keywords &&
         a.score.rank == b.score.rank && a.score.mark == b.score.mark;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tulix::fuzz::FuzzApplication();
  const std::string folder = tulix::fuzz::FuzzFolder();
  const std::string first = folder + "/fuzz-results.ini";
  const std::string second = folder + "/fuzz-results-saved.ini";
  tulix::ClearProfileCache();
  WriteFile(first, std::string_view(reinterpret_cast<const char*>(data), size));
  WriteFile(second, "");

  tulix::SavedSearch read;
  read.SetFilePath(first);
  read.LoadResults();
  tulix::SavedSearch copy;
  copy.SetFilePath(second);
  copy.resultsLoaded = 1;  // the copy starts empty, not from its (empty) file
  for (const auto& result : read.current()) {
    FUZZ_CHECK(!result->href.empty());
    // An unsaved result: the copy's empty file has no section of that name.
    auto duplicate = std::make_unique<tulix::SearchResult>(second, "unsaved");
    duplicate->href = result->href;
    duplicate->text = result->text;
    duplicate->engines = result->engines;
    duplicate->visited = result->visited;
    duplicate->score = result->score;
    copy.current().Append(std::move(duplicate));
  }
  FUZZ_CHECK(copy.SaveAllResults());

  tulix::ClearProfileCache();
  tulix::SavedSearch reread;
  reread.SetFilePath(second);
  reread.LoadResults();
  FUZZ_CHECK(reread.current().size() == read.current().size());
  auto it = read.current().begin();
  for (const auto& result : reread.current()) {
    FUZZ_CHECK(SameResult(*result, **it));
    ++it;
  }
  return 0;
}
