// request ENGINE.ini --query WORDS [...]: shows the first request a search would send to an
// engine, built exactly as a search job builds it, so an engine author can check the request
// template, the type sections and the placeholders without running a search.
//
// The tool builds its own application object on a temporary registry that it deletes at the
// end: reading per-user values may move an engine's [override] values into the registry, and
// a test run of a definition must not change the user's own settings. The program folder is
// the folder above the "categories" folder the engine lies in, so that its category (and the
// category's keywords and counts) is found; an engine outside any categories folder is read
// alone, in the "web" category.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "definitions/category.h"
#include "definitions/engine_definition.h"
#include "tools/enginetest/modes.h"
#include "tools/enginetest/output.h"

namespace tulix::enginetest {
namespace {

namespace fs = std::filesystem;

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  AppendJsonText(out, text);
  out += '"';
}

// A fresh empty folder for the temporary registry, removed by the destructor.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    std::error_code error;
    for (int attempt = 0; attempt < 20 && m_path.empty(); ++attempt) {
      fs::path candidate =
          fs::temp_directory_path(error) / ("tulix-enginetest-" + std::to_string(random()));
      if (!error && fs::create_directory(candidate, error) && !error) {
        m_path = candidate;
      }
    }
  }
  ~ScratchFolder() {
    if (!m_path.empty()) {
      std::error_code error;
      fs::remove_all(m_path, error);
    }
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

struct Options {
  std::string engine;
  std::string query;
  bool haveQuery = false;
  int type = kSearchAllWords;
  int perEngine = 0;  // 0: the category's value
  std::string category;
  bool json = false;
};

bool ParseOptions(const std::vector<std::string>& args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tulix-enginetest request: %s needs a value\n", arg.c_str());
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string text;
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--query") {
      if (!value(options.query))
        return false;
      options.haveQuery = true;
    } else if (arg == "--type") {
      if (!value(text))
        return false;
      if (text == "all") {
        options.type = kSearchAllWords;
      } else if (text == "any") {
        options.type = kSearchAnyWords;
      } else if (text == "exact") {
        options.type = kSearchExactPhrase;
      } else {
        std::fprintf(stderr, "tulix-enginetest request: --type is all, any or exact\n");
        return false;
      }
    } else if (arg == "--per-engine") {
      if (!value(text))
        return false;
      char* end = nullptr;
      long n = std::strtol(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || n < 1 || n > 100000) {
        std::fprintf(stderr, "tulix-enginetest request: --per-engine takes a number from 1\n");
        return false;
      }
      options.perEngine = static_cast<int>(n);
    } else if (arg == "--category") {
      if (!value(options.category))
        return false;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "tulix-enginetest request: unknown option %s\n", arg.c_str());
      return false;
    } else if (options.engine.empty()) {
      options.engine = arg;
    } else {
      std::fprintf(stderr, "tulix-enginetest request: one engine file only\n");
      return false;
    }
  }
  if (options.engine.empty() || !options.haveQuery) {
    std::fprintf(stderr,
                 "usage: tulix-enginetest request ENGINE.ini --query WORDS "
                 "[--type all|any|exact] [--per-engine N] [--category NAME] [--json]\n");
    return false;
  }
  return true;
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

}  // namespace

int RunRequestMode(const std::vector<std::string>& args) {
  Options options;
  if (!ParseOptions(args, options)) {
    return kUsageError;
  }
  std::error_code error;
  const fs::path file = fs::absolute(options.engine, error);
  if (error || !fs::is_regular_file(file, error)) {
    std::fprintf(stderr, "tulix-enginetest request: cannot read %s\n", options.engine.c_str());
    return 1;
  }
  ScratchFolder scratch;
  if (scratch.path().empty()) {
    std::fprintf(stderr, "tulix-enginetest request: cannot make a temporary folder\n");
    return 1;
  }
  const fs::path categories = CategoriesFolderOf(file);
  const fs::path programFolder = categories.empty() ? scratch.path() : categories.parent_path();
  TulixApplication app(programFolder.string(), (scratch.path() / "registry.db").string());
  ScopedApplication scope(app);

  EngineDefinition* engine = nullptr;
  std::unique_ptr<EngineDefinition> alone;
  if (!categories.empty()) {
    app.categoryTree = ScanCategoryTree();
    fs::path relative = file.lexically_relative(categories).replace_extension();
    std::string treePath;
    for (const fs::path& part : relative) {
      treePath += (treePath.empty() ? "" : "\\") + part.string();
    }
    engine = dynamic_cast<EngineDefinition*>(app.categoryTree->Find(treePath));
  }
  if (engine == nullptr) {
    // Not in a category tree, or a name the scan passes over (".INI"): read the file alone.
    alone = std::make_unique<EngineDefinition>();
    alone->name = file.stem().string();
    alone->SetFilePath(file.string());
    alone->Load();
    engine = alone.get();
  }

  SearchQuery search;
  search.text = options.query;
  search.type = options.type;
  CategoryNode* category = engine->Category();
  search.category = !options.category.empty()                               ? options.category
                    : category != nullptr && GetParent(category) != nullptr ? category->name
                                                                            : "web";
  search.perEngine = options.perEngine > 0 ? options.perEngine
                     : category != nullptr ? category->PerEngine()
                                           : app.settings().DefaultResultCount;

  const RequestSpec request = engine->BuildFirstRequest(search);
  const std::string query = engine->BuildQueryText(search);
  std::string out;
  if (options.json) {
    auto field = [&](const char* name, std::string_view value, bool last = false) {
      out += "  \"";
      out += name;
      out += "\": ";
      AppendJsonString(out, value);
      out += last ? "\n" : ",\n";
    };
    out += "{\n";
    field("engine", file.string());
    field("category", search.category);
    out += "  \"verb\": " + std::to_string(request.verb) + ",\n";
    field("method", request.verb == 0 ? "POST" : "GET");
    field("host", request.host);
    out += "  \"port\": " + std::to_string(request.port) + ",\n";
    field("object", request.object);
    field("referer", request.referer);
    field("extra", request.extra);
    field("variables", request.variables);
    out += "  \"perEngine\": " + std::to_string(search.perEngine) + ",\n";
    field("query", query, true);
    out += "}\n";
  } else {
    auto line = [&](const char* name, const std::string& value) {
      char label[16];
      std::snprintf(label, sizeof label, "%-10s", name);
      out += label;
      out += value;
      out += '\n';
    };
    line("engine", file.string());
    line("category", search.category);
    line("verb", std::to_string(request.verb) + (request.verb == 0 ? " (POST)" : " (GET)"));
    line("host", request.host);
    line("port", std::to_string(request.port));
    line("object", request.object);
    line("referer", request.referer);
    line("extra", request.extra);
    line("variables", request.variables);
    line("results", std::to_string(search.perEngine));
    line("query", query);
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

}  // namespace tulix::enginetest
