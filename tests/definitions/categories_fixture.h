// A fresh application with an empty categories folder, for the tests of engine definitions and
// categories.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "definitions/tree.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "test_support.h"

namespace tulix::test {

class CategoriesTest : public TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope = std::make_unique<ScopedApplication>(*m_app);
    std::filesystem::create_directories(ToFileSystemPath(GetCategoriesFolder()));
  }
  void TearDown() override {
    m_app->categoryTree.reset();
    m_scope.reset();
    m_app.reset();
    ClearProfileCache();
    TulixTest::TearDown();
  }

  // The internal path of `name` below the categories folder.
  static std::string Categories(const std::string& name) {
    return JoinPath(GetCategoriesFolder(), name);
  }
  // Writes a file below the categories folder, creating its folders.
  static void Write(const std::string& name, std::string_view text) {
    std::filesystem::create_directories(
        std::filesystem::path(ToFileSystemPath(Categories(name))).parent_path());
    WriteFileBytes(ToFileSystemPath(Categories(name)), text);
  }

  // Writes web\<name>.ini, scans the tree and returns the engine as the tree holds it (null
  // when the scan did not take it).
  EngineDefinition* WriteEngine(const std::string& name, std::string_view text) {
    Write("web\\" + name + ".ini", text);
    m_app->categoryTree = ScanCategoryTree();
    return dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find("web\\" + name));
  }

  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
};

}  // namespace tulix::test
