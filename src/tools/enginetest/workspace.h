// The world every mode of tulix-enginetest works in: an application object of the tool's own on
// a temporary registry that is deleted at the end (reading per-user values may move an engine's
// [override] values into the registry, and trying a definition must not change the user's own
// settings), and the engine loaded as a search would see it.
//
// The program folder is the folder above the "categories" folder the engine lies in, so that its
// category (and the category's keywords and counts) is found. An engine of an engine set laid
// out like a categories folder (its folder has its ".cat" file beside it, as in
// data/engines/demo) gets a temporary program folder whose "categories" is a link to the set's
// folder, with the same effect. Any other engine is read alone, in the "web" category, with a
// temporary program folder whose "categories" is a link to the engine's own folder, so that a
// `statepath` beside the file is found. Nothing is written into the engine's folder.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace tulix {
class EngineDefinition;
class ScopedApplication;
class TulixApplication;
}  // namespace tulix

namespace tulix::enginetest {

class EngineWorkspace {
 public:
  EngineWorkspace();
  ~EngineWorkspace();
  EngineWorkspace(const EngineWorkspace&) = delete;
  EngineWorkspace& operator=(const EngineWorkspace&) = delete;

  // Sets up the world and loads `engineFile`. On failure says why on standard error, as
  // "tulix-enginetest MODE: ...", and returns false.
  bool Open(const char* mode, const std::string& engineFile);

  TulixApplication& app() { return *m_app; }
  EngineDefinition& engine() { return *m_engine; }
  const std::filesystem::path& file() const { return m_file; }
  // The engine's category as a search names it ("web" outside a category tree), and the
  // results per engine that category asks for.
  std::string CategoryName() const;
  int PerEngine() const;

 private:
  std::filesystem::path m_file;
  std::filesystem::path m_scratch;
  std::unique_ptr<TulixApplication> m_app;
  std::unique_ptr<ScopedApplication> m_scope;
  std::unique_ptr<EngineDefinition> m_alone;
  EngineDefinition* m_engine = nullptr;
};

// Reads a search type ("all", "any", "exact"); complains as "tulix-enginetest MODE: ..." and
// returns false for anything else.
bool ParseSearchType(const char* mode, const std::string& text, int* type);

}  // namespace tulix::enginetest
