// Registering the browser components with stand-in components (tests/app/components) copied
// into a fresh categories folder. Each stand-in records the export called and the file it was
// loaded from in the marker file, so the tests see exactly which copies ran and in what order.
#include "app/browser_components.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/log.h"
#include "base/settings.h"
#include "jobs/job_test_support.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "test_support.h"

namespace tulix {
namespace {

namespace fs = std::filesystem;

class BrowserComponentsTest : public test::TulixTest {
 protected:
  void SetUp() override {
    TulixTest::SetUp();
    m_app = std::make_unique<TulixApplication>(m_home, m_registry);
    m_scope.emplace(*m_app);
    m_marker = m_temp.File("calls.txt");
    m_markerVariable.emplace("TULIX_COMPONENT_MARKER", m_marker.c_str());
    // An installed folder of the test's own, empty unless a test puts components there.
    m_installed = m_temp.File("installed");
    fs::create_directories(m_installed);
    m_installedVariable.emplace("TULIX_COMPONENT_DIR", m_installed.c_str());
    ResetFolder();
    SetLogUserInterface(&m_log);
  }

  void TearDown() override {
    SetLogUserInterface(nullptr);
    m_markerVariable.reset();
    m_installedVariable.reset();
    m_scope.reset();
    m_app.reset();
    TulixTest::TearDown();
  }

  // An empty categories folder and no calls recorded.
  void ResetFolder() {
    fs::remove_all(Folder());
    fs::create_directories(Folder());
    fs::remove(m_marker);
  }

  fs::path Folder() const { return ToFileSystemPath(GetCategoriesFolder()); }

  void Install(const char* built, const std::string& name) {
    fs::copy_file(built, Folder() / name, fs::copy_options::overwrite_existing);
  }

  // The path of a component file as the log names it.
  static std::string LoggedPath(const std::string& name) {
    return JoinPath(GetCategoriesFolder(), name);
  }

  // "register <file>" for a call of that component file's export.
  std::string Call(const std::string& what, const std::string& name) const {
    return what + " " + (Folder() / name).string();
  }

  std::vector<std::string> Calls() const {
    std::vector<std::string> lines;
    std::ifstream in(m_marker);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  bool Present(const std::string& name) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(Folder() / name, ec));
  }

  uint32_t StoredIntegration() const {
    return m_app->registry().GetDword(std::string(kRegistryRoot) + "\\Browser",
                                      "ExplorerIntegration", 99);
  }

  std::unique_ptr<TulixApplication> m_app;
  std::optional<ScopedApplication> m_scope;
  std::string m_marker;
  std::optional<test::ScopedEnvironmentValue> m_markerVariable;
  std::string m_installed;
  std::optional<test::ScopedEnvironmentValue> m_installedVariable;
  test::LogRecorder m_log;
};

TEST_F(BrowserComponentsTest, HighestNumberedFileIsUsedAndOlderOnesRemoved) {
  for (const char* name : {"toolbar.so", "toolbar101.so", "toolbar105.so", "toolbar99.so",
                           "toolbar200.so", "tulixlib.so", "tulixlib199.so"}) {
    Install(TULIX_TEST_COMPONENT_GOOD, name);
  }
  EXPECT_TRUE(RegisterBrowserComponents(true));
  EXPECT_EQ(Calls(), (std::vector<std::string>{Call("register", "toolbar105.so"),
                                               Call("register", "tulixlib199.so")}));
  EXPECT_FALSE(Present("toolbar.so"));
  EXPECT_FALSE(Present("toolbar101.so"));
  EXPECT_FALSE(Present("tulixlib.so"));
  EXPECT_TRUE(Present("toolbar105.so"));
  EXPECT_TRUE(Present("tulixlib199.so"));
  // Outside the numbered range: neither a successor nor superseded.
  EXPECT_TRUE(Present("toolbar99.so"));
  EXPECT_TRUE(Present("toolbar200.so"));
  EXPECT_TRUE(m_log.Boxes().empty());

  fs::remove(m_marker);
  EXPECT_TRUE(RegisterBrowserComponents(false));
  EXPECT_EQ(Calls(), (std::vector<std::string>{Call("unregister", "toolbar105.so"),
                                               Call("unregister", "tulixlib199.so")}));
  EXPECT_TRUE(m_log.Boxes().empty());
}

// A package installs the components in its library folder: they register from there while the
// categories folder has none, and a copy an update put in the categories folder comes first.
TEST_F(BrowserComponentsTest, InstalledComponentsRegisterWhenTheCategoriesFolderHasNone) {
  const fs::path installed(m_installed);
  fs::copy_file(TULIX_TEST_COMPONENT_GOOD, installed / "toolbar.so");
  fs::copy_file(TULIX_TEST_COMPONENT_GOOD, installed / "tulixlib.so");
  EXPECT_TRUE(RegisterBrowserComponents(true));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"register " + (installed / "toolbar.so").string(),
                                               "register " +
                                                   (installed / "tulixlib.so").string()}));
  EXPECT_TRUE(m_log.Boxes().empty());

  fs::remove(m_marker);
  Install(TULIX_TEST_COMPONENT_GOOD, "tulixlib105.so");
  EXPECT_TRUE(RegisterBrowserComponents(false));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"unregister " + (installed / "toolbar.so").string(),
                                               Call("unregister", "tulixlib105.so")}));
  // The installed files are the package's: never removed as superseded.
  EXPECT_TRUE(fs::exists(installed / "tulixlib.so"));
}

TEST_F(BrowserComponentsTest, MissingComponentIsReportedAndTheOtherStillHandled) {
  Install(TULIX_TEST_COMPONENT_GOOD, "tulixlib.so");
  EXPECT_FALSE(RegisterBrowserComponents(true));
  EXPECT_EQ(m_log.Boxes(), std::vector<std::string>{"Error: Could not find toolbar component"});
  EXPECT_TRUE(m_log.Has("Error: Could not find toolbar component"));
  EXPECT_EQ(Calls(), std::vector<std::string>{Call("register", "tulixlib.so")});

  ResetFolder();
  EXPECT_FALSE(RegisterBrowserComponents(false));
  EXPECT_TRUE(m_log.Has("Error: Could not find tulixlib component"));
  EXPECT_EQ(m_log.Count("Error: Could not find toolbar component"), 2);
  EXPECT_TRUE(Calls().empty());
}

TEST_F(BrowserComponentsTest, EachBrokenComponentIsReportedByItsPath) {
  const std::string notALibrary = m_temp.File("not-a-library.so");
  test::WriteFileBytes(notALibrary, "this is text, not a shared library\n");
  struct Case {
    const char* what;
    const char* file;
    bool exportCalled;
  } cases[] = {
      {"no OLESelfRegister value", TULIX_TEST_COMPONENT_NO_VERSION_VALUE, false},
      {"no registration exports", TULIX_TEST_COMPONENT_NO_EXPORTS, false},
      {"export returns a failure", TULIX_TEST_COMPONENT_FAILING, true},
      {"does not load", notALibrary.c_str(), false},
  };
  for (const Case& c : cases) {
    for (bool reg : {true, false}) {
      SCOPED_TRACE(std::string(c.what) + (reg ? ", registering" : ", unregistering"));
      ResetFolder();
      Install(c.file, "toolbar.so");
      Install(TULIX_TEST_COMPONENT_GOOD, "tulixlib.so");
      test::LogRecorder log;
      SetLogUserInterface(&log);
      EXPECT_FALSE(RegisterBrowserComponents(reg));
      SetLogUserInterface(&m_log);

      const std::string line = "Error: Could not register " + LoggedPath("toolbar.so");
      EXPECT_EQ(log.Boxes(), std::vector<std::string>{line});
      EXPECT_TRUE(log.Has(line));
      const char* what = reg ? "register" : "unregister";
      std::vector<std::string> expected;
      if (c.exportCalled) {
        expected.push_back(Call(what, "toolbar.so"));
      }
      expected.push_back(Call(what, "tulixlib.so"));
      EXPECT_EQ(Calls(), expected);
      // A failed component is kept: it may work once whatever it lacks is put right.
      EXPECT_TRUE(Present("toolbar.so"));
    }
  }
}

TEST_F(BrowserComponentsTest, OnlyRegularFilesInTheFolderAreLoaded) {
  // A working component elsewhere, reached through links in the folder.
  const std::string outside = m_temp.File("outside.so");
  fs::copy_file(TULIX_TEST_COMPONENT_GOOD, outside);
  fs::create_symlink(outside, Folder() / "toolbar.so");
  Install(TULIX_TEST_COMPONENT_GOOD, "toolbar101.so");
  fs::create_directory(Folder() / "toolbar150.so");
  fs::create_symlink(outside, Folder() / "tulixlib.so");

  EXPECT_FALSE(RegisterBrowserComponents(true));
  EXPECT_EQ(Calls(), std::vector<std::string>{Call("register", "toolbar101.so")});
  EXPECT_EQ(m_log.Boxes(), std::vector<std::string>{"Error: Could not find tulixlib component"});
  // What was passed over is left as it was, the regular file it stood beside included.
  EXPECT_TRUE(fs::is_symlink(Folder() / "toolbar.so"));
  EXPECT_TRUE(fs::is_symlink(Folder() / "tulixlib.so"));
  EXPECT_TRUE(fs::is_directory(Folder() / "toolbar150.so"));
  EXPECT_TRUE(Present("toolbar101.so"));
}

TEST_F(BrowserComponentsTest, ToolbarQuestionFollowsTheSetting) {
  struct Case {
    int32_t setting;
    bool answer;
    bool asked;
    int32_t after;
    const char* call;  // what both components were asked to do; null: nothing
    uint32_t stored;   // 99: the settings were not saved
  } cases[] = {
      {2, true, true, 1, "register", 1},
      {2, false, true, 0, "unregister", 0},
      {1, false, false, 1, "register", 99},
      {0, true, false, 0, nullptr, 99},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("ExplorerIntegration " + std::to_string(c.setting) + ", answer " +
                 (c.answer ? "Yes" : "No"));
    ResetFolder();
    m_app->registry().DeleteValue(std::string(kRegistryRoot) + "\\Browser", "ExplorerIntegration");
    Install(TULIX_TEST_COMPONENT_GOOD, "toolbar.so");
    Install(TULIX_TEST_COMPONENT_GOOD, "tulixlib.so");
    m_app->settings().ExplorerIntegration = c.setting;

    std::vector<std::string> questions;
    AskBrowserToolbarQuestion([&](const std::string& question) {
      questions.push_back(question);
      return c.answer;
    });

    if (c.asked) {
      EXPECT_EQ(questions, std::vector<std::string>{
                               "Do you want Tulix to add a toolbar to Internet Explorer,\n "
                               "Allowing you to use Tulix in your Web Browser?"});
    } else {
      EXPECT_TRUE(questions.empty());
    }
    EXPECT_EQ(m_app->settings().ExplorerIntegration, c.after);
    EXPECT_EQ(StoredIntegration(), c.stored);
    std::vector<std::string> expected;
    if (c.call != nullptr) {
      expected = {Call(c.call, "toolbar.so"), Call(c.call, "tulixlib.so")};
    }
    EXPECT_EQ(Calls(), expected);
  }
  EXPECT_TRUE(m_log.Boxes().empty());
}

}  // namespace
}  // namespace tulix
