// Tips come one after another from the file, wrap after the last, start again when the file
// changes, and the "Tip" settings remember where the next one is and whether tips show.
#include <QCheckBox>
#include <QLabel>
#include <QObject>
#include <QTest>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "base/application.h"
#include "base/settings.h"
#include "platform/registry_store.h"
#include "ui/dialog_test_support.h"
#include "ui/tip_of_the_day.h"
#include "ui/ui_test_support.h"

namespace tulix {
namespace {

const std::string kTipKey = std::string(kRegistryRoot) + "\\Tip";

std::vector<std::string> ReadTips(const std::string& path, TipPosition& position, int count) {
  std::vector<std::string> tips;
  for (int i = 0; i < count; ++i) {
    const TipOutcome outcome = ReadNextTip(path, position);
    if (outcome.problem != TipProblem::kNone) {
      break;
    }
    tips.push_back(outcome.tip);
    position = outcome.next;
  }
  return tips;
}

void SetModified(const std::string& path, int secondsLater) {
  namespace fs = std::filesystem;
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(secondsLater));
}

// Runs the test in `folder`, as the program finds tips.txt in its current folder.
class CurrentFolder {
 public:
  explicit CurrentFolder(const std::string& folder) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~CurrentFolder() { std::filesystem::current_path(m_old); }

 private:
  std::filesystem::path m_old;
};

}  // namespace

class TipOfTheDayTest : public QObject {
  Q_OBJECT
 private slots:
  void tipsFollowOneAnotherAndWrapAround() {
    test::UiWorld world;
    const std::string path = world.File("tips.txt");
    test::WriteTextFile(path, "; not a tip\nFirst tip\n\n   \nSecond tip\r\n;also not\nThird tip");
    TipPosition position;
    QCOMPARE(ReadTips(path, position, 5),
             (std::vector<std::string>{"First tip", "Second tip", "Third tip", "First tip",
                                       "Second tip"}));

    // A stored position past the end of the same file (it was cut by hand) starts again.
    position.filePos = 100000;
    QCOMPARE(ReadTips(path, position, 1), std::vector<std::string>{"First tip"});
  }

  void aChangedFileIsReadFromItsStart() {
    test::UiWorld world;
    const std::string path = world.File("tips.txt");
    test::WriteTextFile(path, "One\nTwo\nThree\n");
    TipPosition position;
    QCOMPARE(ReadTips(path, position, 2), (std::vector<std::string>{"One", "Two"}));
    test::WriteTextFile(path, "Alpha\nBeta\nGamma\nDelta\n");
    SetModified(path, 10);
    // The old position would land inside "Beta"; the new time stamp restarts the file.
    QCOMPARE(ReadTips(path, position, 2), (std::vector<std::string>{"Alpha", "Beta"}));
    QCOMPARE(ReadTips(path, position, 1), std::vector<std::string>{"Gamma"});
  }

  void missingAndTiplessFilesAreReported() {
    test::UiWorld world;
    const TipPosition stored{12, "34"};
    TipOutcome outcome = ReadNextTip(world.File("nothing.txt"), stored);
    QCOMPARE(outcome.problem, TipProblem::kMissingFile);
    QCOMPARE(TipProblemText(outcome.problem),
             QStringLiteral("Tips file does not exist in the prescribed directory"));
    QCOMPARE(outcome.next.filePos, stored.filePos);

    const std::string path = world.File("empty.txt");
    test::WriteTextFile(path, "; only a comment\n\n");
    outcome = ReadNextTip(path, stored);
    QCOMPARE(outcome.problem, TipProblem::kReadFailure);
    QCOMPARE(TipProblemText(outcome.problem), QStringLiteral("Trouble reading the tips file"));
    // A folder of that name cannot be read as a file either.
    std::filesystem::create_directories(world.File("folder"));
    QCOMPARE(ReadNextTip(world.File("folder"), stored).problem, TipProblem::kReadFailure);
  }

  void theShippedTipsCanAllBeShown() {
    test::UiWorld world;
    const std::string path = std::string(TULIX_SOURCE_DIR) + "/data/tips.txt";
    TipPosition position;
    const std::vector<std::string> tips = ReadTips(path, position, 60);
    QCOMPARE(tips.size(), size_t{60});
    size_t distinct = 1;
    while (distinct < tips.size() && tips[distinct] != tips[0]) {
      ++distinct;
    }
    QVERIFY(distinct >= 20);
    for (const std::string& tip : tips) {
      QVERIFY(tip.size() < 200);
    }
  }

  void theDialogShowsTheNextTipAndStoresItsSettings() {
    test::UiWorld world;
    world.Start();
    test::WriteTextFile(world.File("tips.txt"), "Use folders\nSort by rank\n");
    CurrentFolder here(world.File(""));
    QVERIFY(TipsWanted());
    {
      TipOfTheDayDialog dialog(nullptr);
      QVERIFY(dialog.showAtStartup()->isChecked());
      QVERIFY(dialog.ShowNextTip());
      QCOMPARE(dialog.tip()->text(), QStringLiteral("Use folders"));
      QVERIFY(dialog.ShowNextTip());
      QCOMPARE(dialog.tip()->text(), QStringLiteral("Sort by rank"));
      dialog.showAtStartup()->setChecked(false);
      dialog.reject();
    }
    QVERIFY(!TipsWanted());
    QCOMPARE(App().registry().GetDword(kTipKey, "StartUp", 0), 1u);
    // The next showing goes on after the last tip shown, in a new dialog.
    TipOfTheDayDialog again(nullptr);
    QVERIFY(!again.showAtStartup()->isChecked());
    QVERIFY(again.ShowNextTip());
    QCOMPARE(again.tip()->text(), QStringLiteral("Use folders"));
    QVERIFY(!App().registry().GetString(kTipKey, "TimeStamp", "").empty());
  }

  void theDialogSaysWhenThereIsNoTipsFile() {
    test::UiWorld world;
    world.Start();
    test::ShownMessages shown;
    CurrentFolder here(world.File(""));
    TipOfTheDayDialog dialog(nullptr);
    QVERIFY(!dialog.ShowNextTip());
    QCOMPARE(shown.boxes,
             std::vector<std::string>{"Tips file does not exist in the prescribed directory"});
    QCOMPARE(App().registry().GetDword(kTipKey, "FilePos", 77), 77u);
  }
};

}  // namespace tulix

QTEST_MAIN(tulix::TipOfTheDayTest)
#include "tip_of_the_day_test.moc"
