// A fresh application with three engines in the web category (Alpha, Beta, and Dupe, which
// keeps duplicate addresses) and a saved search kept in a file of its own, for the tests of the
// result list and saved searches.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "definitions/categories_fixture.h"
#include "definitions/tree_scan.h"
#include "results/saved_search.h"

namespace tulix::test {

class ResultsTest : public CategoriesTest {
 protected:
  void SetUp() override {
    CategoriesTest::SetUp();
    Write("web\\alpha.ini", "[main]\r\nname=Alpha\r\n");
    Write("web\\beta.ini", "[main]\r\nname=Beta\r\nlocal=1\r\n");
    Write("web\\dupe.ini", "[main]\r\nname=Dupe\r\ncheckduplicates=0\r\n");
    m_app->categoryTree = ScanCategoryTree();
    m_alpha = Engine("alpha");
    m_beta = Engine("beta");
    m_dupe = Engine("dupe");
    std::filesystem::create_directories(ToFileSystemPath(GetSearchesFolder()));
    m_search = NewSearch("blue whale");
  }
  void TearDown() override {
    m_search.reset();
    CategoriesTest::TearDown();
  }

  const EngineDefinition* Engine(const std::string& name) {
    auto* engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\" + name));
    EXPECT_NE(engine, nullptr) << name;
    return engine;
  }

  // A search with these words, kept in searches\<file>.ini. A submitted search has moved its
  // stored results aside for a new run, as every search does before its jobs start; one that is
  // not submitted has not read its file yet.
  std::unique_ptr<SavedSearch> NewSearch(const std::string& words,
                                         const std::string& file = "search",
                                         bool submitted = true) {
    auto search = std::make_unique<SavedSearch>();
    search->name = file;
    search->settings.name = words;
    search->SetFilePath(SearchFile(file));
    if (submitted) {
      search->PrepareRerun();
    }
    return search;
  }
  static std::string SearchFile(const std::string& file = "search") {
    return JoinPath(GetSearchesFolder(), file + ".ini");
  }
  static std::string FileText(const std::string& file = "search") {
    return ReadFileBytes(ToFileSystemPath(SearchFile(file)));
  }

  static EngineHit Hit(const EngineDefinition* engine, const std::string& address, int position,
                       const std::string& words = "title") {
    EngineHit hit;
    hit.engine = engine;
    hit.address = address;
    hit.position = position;
    hit.text = "<a href=" + address + ">" + words + "</a> ";
    return hit;
  }

  const EngineDefinition* m_alpha = nullptr;
  const EngineDefinition* m_beta = nullptr;
  const EngineDefinition* m_dupe = nullptr;
  std::unique_ptr<SavedSearch> m_search;
};

}  // namespace tulix::test
