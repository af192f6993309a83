// How fast the page scanner cuts pages into tokens and a tree, in bytes per second: the saved
// result pages of real engines, a 307,200-byte page of dense markup (the largest page a fetch
// keeps), and hostile pages (100,000 nested <table> tags, 100,000 unmatched </table> tags) at
// one and ten times that size, which should take ten times as long, not a hundred.
//
// As a yardstick the same pages go through two established HTML parsers, htmlcxx (a simple
// tokenizer with a tree, the closest peer) and Gumbo (a full HTML5 parser), when the build
// found them. Set TULIX_FIXTURES to use another folder of saved pages.
//
// The ten-times hostile pages need some 64 MB of tokens, more than glibc's allocator keeps for
// reuse once freed, so each run of them maps fresh memory and pays a page fault per 4 KB; on a
// virtual machine that can outweigh the scan itself. To see the scan's own cost, run with
//   GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4000000000
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/page_scanner.h"

#ifdef TULIX_BENCH_HTMLCXX
#include <htmlcxx/html/ParserDom.h>
#endif
#ifdef TULIX_BENCH_GUMBO
#include <gumbo.h>
#endif

namespace {

struct Page {
  std::string name;
  std::string html;
};

std::string Repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) {
    out.append(piece);
  }
  return out;
}

// Result-list markup with a tag every few bytes, cut to exactly `size` bytes.
std::string DenseMarkup(size_t size) {
  const std::string row =
      "<tr><td class=r><a href=\"/url?q=http://example.com/page&amp;sa=U\">Result "
      "<b>title</b></a><br><span class=u>example.com</span></td><td><div><i>a</i> "
      "text <font size=-1>more</font></div></td></tr>\n";
  std::string page = "<html><body><table>\n";
  while (page.size() < size) {
    page += row;
  }
  page.resize(size);
  return page;
}

std::vector<Page> LoadFixtures() {
  const char* dir = std::getenv("TULIX_FIXTURES");
  std::filesystem::path folder = dir != nullptr
                                     ? std::filesystem::path(dir)
                                     : std::filesystem::path(TULIX_FIXTURES_DIR) / "serp";
  std::vector<Page> pages;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (entry.path().extension() != ".html") {
      continue;
    }
    std::ifstream file(entry.path(), std::ios::binary);
    pages.push_back(
        {entry.path().stem().string(), std::string(std::istreambuf_iterator<char>(file), {})});
  }
  std::sort(pages.begin(), pages.end(),
            [](const Page& a, const Page& b) { return a.name < b.name; });
  return pages;
}

void ScanTulix(benchmark::State& state, const std::string& html) {
  for (auto _ : state) {
    tulix::PageScanner scanner(html);
    benchmark::DoNotOptimize(scanner.Count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}

// A scan followed by what a script asks of every token: its link, its form and its column.
void ScanTulixAndAsk(benchmark::State& state, const std::string& html) {
  for (auto _ : state) {
    tulix::PageScanner scanner(html);
    size_t answers = 0;
    for (const tulix::PageToken* t = scanner.First(); t != nullptr; t = scanner.Next()) {
      answers += t->GetHref().size() + t->GetFormAction().size() + (t->IsColumn(2) ? 1 : 0);
    }
    benchmark::DoNotOptimize(answers);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}

#ifdef TULIX_BENCH_HTMLCXX
void ScanHtmlcxx(benchmark::State& state, const std::string& html) {
  for (auto _ : state) {
    htmlcxx::HTML::ParserDom parser;
    const auto& dom = parser.parseTree(html);
    benchmark::DoNotOptimize(dom.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
#endif

#ifdef TULIX_BENCH_GUMBO
void ScanGumbo(benchmark::State& state, const std::string& html) {
  for (auto _ : state) {
    GumboOutput* output = gumbo_parse_with_options(&kGumboDefaultOptions, html.data(), html.size());
    benchmark::DoNotOptimize(output->root);
    gumbo_destroy_output(&kGumboDefaultOptions, output);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * html.size()));
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // The pages live as long as the benchmarks that point at them: to the end of main.
  std::vector<Page> pages = LoadFixtures();
  pages.push_back({"dense-307200", DenseMarkup(307200)});
  std::vector<Page> hostile = {
      {"nested-100k", Repeat("<table>", 100000)},
      {"nested-1000k", Repeat("<table>", 1000000)},
      {"unmatched-100k", Repeat("</table>", 100000)},
      {"unmatched-1000k", Repeat("</table>", 1000000)},
  };
  pages.insert(pages.end(), hostile.begin(), hostile.end());

  for (const Page& page : pages) {
    const std::string& html = page.html;
    benchmark::RegisterBenchmark(("Tulix/" + page.name).c_str(),
                                 [&html](benchmark::State& s) { ScanTulix(s, html); });
#ifdef TULIX_BENCH_HTMLCXX
    // htmlcxx recurses over its tree: a million nested tags overflow the default stack.
    if (page.name != "nested-1000k") {
      benchmark::RegisterBenchmark(("Htmlcxx/" + page.name).c_str(),
                                   [&html](benchmark::State& s) { ScanHtmlcxx(s, html); });
    }
#endif
#ifdef TULIX_BENCH_GUMBO
    benchmark::RegisterBenchmark(("Gumbo/" + page.name).c_str(),
                                 [&html](benchmark::State& s) { ScanGumbo(s, html); });
#endif
  }
  for (const Page& page : pages) {
    if (page.name.starts_with("nested") || page.name.starts_with("unmatched") ||
        page.name.starts_with("dense")) {
      const std::string& html = page.html;
      benchmark::RegisterBenchmark(("TulixAsk/" + page.name).c_str(),
                                   [&html](benchmark::State& s) { ScanTulixAndAsk(s, html); });
    }
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
