#include "tools/enginetest/workspace.h"

#include <cstdio>
#include <random>
#include <system_error>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"

namespace tulix::enginetest {
namespace {

namespace fs = std::filesystem;

// A fresh empty folder under the temporary folder; empty when none could be made.
fs::path MakeScratchFolder() {
  std::random_device random;
  std::error_code error;
  for (int attempt = 0; attempt < 20; ++attempt) {
    fs::path candidate =
        fs::temp_directory_path(error) / ("tulix-enginetest-" + std::to_string(random()));
    if (!error && fs::create_directory(candidate, error) && !error) {
      return candidate;
    }
  }
  return {};
}

// The "categories" folder among the file's ancestors, nearest first; empty when there is none.
fs::path CategoriesFolderOf(const fs::path& file) {
  for (fs::path folder = file.parent_path(); !folder.empty() && folder != folder.root_path();
       folder = folder.parent_path()) {
    if (folder.filename() == "categories") {
      return folder;
    }
  }
  return {};
}

// The folder of an engine set laid out like a categories folder (the bundled sets): the one
// above the engine's folder when the engine's category file lies beside that folder; empty
// otherwise.
fs::path EngineSetFolderOf(const fs::path& file) {
  fs::path categoryFile = file.parent_path();
  categoryFile += ".cat";
  std::error_code error;
  return fs::is_regular_file(categoryFile, error) ? file.parent_path().parent_path() : fs::path();
}

}  // namespace

EngineWorkspace::EngineWorkspace() = default;

EngineWorkspace::~EngineWorkspace() {
  // The engines go before the application object that their tree hangs on, and the registry
  // file before its folder.
  m_alone.reset();
  m_scope.reset();
  m_app.reset();
  if (!m_scratch.empty()) {
    std::error_code error;
    fs::remove_all(m_scratch, error);  // removes the "categories" link, not what it points to
  }
}

bool EngineWorkspace::Open(const char* mode, const std::string& engineFile) {
  std::error_code error;
  m_file = fs::absolute(engineFile, error);
  if (error || !fs::is_regular_file(m_file, error)) {
    std::fprintf(stderr, "tulix-enginetest %s: cannot read %s\n", mode, engineFile.c_str());
    return false;
  }
  m_scratch = MakeScratchFolder();
  if (m_scratch.empty()) {
    std::fprintf(stderr, "tulix-enginetest %s: cannot make a temporary folder\n", mode);
    return false;
  }
  fs::path categories = CategoriesFolderOf(m_file);
  fs::path programFolder = categories.parent_path();
  if (categories.empty()) {
    // An engine set stands in for the categories folder, so that state file paths relative to
    // it are found and the engine has its category; a lone engine's own folder does otherwise.
    categories = EngineSetFolderOf(m_file);
    programFolder = m_scratch;
    fs::create_directory_symlink(categories.empty() ? m_file.parent_path() : categories,
                                 m_scratch / "categories", error);
    if (error) {
      std::fprintf(stderr, "tulix-enginetest %s: cannot link the engine's folder: %s\n", mode,
                   error.message().c_str());
      return false;
    }
  }
  m_app = std::make_unique<TulixApplication>(programFolder.string(),
                                             (m_scratch / "registry.db").string());
  m_scope = std::make_unique<ScopedApplication>(*m_app);

  if (!categories.empty()) {
    m_app->categoryTree = ScanCategoryTree();
    fs::path relative = m_file.lexically_relative(categories).replace_extension();
    std::string treePath;
    for (const fs::path& part : relative) {
      treePath += (treePath.empty() ? "" : "\\") + part.string();
    }
    m_engine = dynamic_cast<EngineDefinition*>(m_app->categoryTree->Find(treePath));
  }
  if (m_engine == nullptr) {
    // Not in a category tree, or a name the scan passes over (".INI"): read the file alone.
    m_alone = std::make_unique<EngineDefinition>();
    m_alone->name = m_file.stem().string();
    m_alone->SetFilePath(m_file.string());
    m_alone->Load();
    m_engine = m_alone.get();
  }
  return true;
}

std::string EngineWorkspace::CategoryName() const {
  CategoryNode* category = m_engine->Category();
  return category != nullptr && GetParent(category) != nullptr ? category->name : "web";
}

int EngineWorkspace::PerEngine() const {
  CategoryNode* category = m_engine->Category();
  return category != nullptr ? category->PerEngine() : m_app->settings().DefaultResultCount;
}

bool ParseSearchType(const char* mode, const std::string& text, int* type) {
  if (text == "all") {
    *type = kSearchAllWords;
  } else if (text == "any") {
    *type = kSearchAnyWords;
  } else if (text == "exact") {
    *type = kSearchExactPhrase;
  } else {
    std::fprintf(stderr, "tulix-enginetest %s: --type is all, any or exact\n", mode);
    return false;
  }
  return true;
}

}  // namespace tulix::enginetest
