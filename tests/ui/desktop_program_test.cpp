// The desktop program as real processes: one copy per settings store. A second copy started
// while the first runs brings the first one's window forward and ends; one started while the
// first is still starting ends at once without showing anything.
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/application_core.h"
#include "base/application.h"
#include "base/settings.h"
#include "platform/registry_store.h"
#include "platform/single_instance.h"
#include "ui/ui_test_support.h"

namespace tulix {

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A program started on the offscreen platform, killed when the object goes if still running.
class DesktopProcess {
 public:
  DesktopProcess() {
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral(TULIX_DESKTOP_BINARY), {});
  }
  ~DesktopProcess() {
    if (m_process.state() != QProcess::NotRunning) {
      m_process.kill();
      m_process.waitForFinished(10000);
    }
  }
  QProcess& process() { return m_process; }

 private:
  QProcess m_process;
};

}  // namespace

class DesktopProgramTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_world = std::make_unique<test::UiWorld>();
    // No start-up questions or tips: the copies must reach their window without a person.
    RegistryStore store(m_world->registry());
    QVERIFY(store.SetDword(std::string(kRegistryRoot) + "\\Behaviour", "ExplorerIntegration", 0));
    QVERIFY(store.SetDword(std::string(kRegistryRoot) + "\\Tip", "StartUp", 1));
    // An installed engine set, so the first start has nothing to download.
    TulixApplication app(m_world->home(), m_world->registry());
    ScopedApplication scope(app);
    QVERIFY(SeedProgramFolder(m_world->home(), TULIX_DEMO_ENGINE_SET_DIR));
  }
  void cleanup() { m_world.reset(); }

  void aSecondCopyBringsTheFirstForwardAndEnds() {
    DesktopProcess first;
    SingleInstance names;  // the same names the copies work out from the settings store
    QVERIFY(test::WaitUntil([&] { return std::filesystem::exists(names.SocketPath()); }, 30000));

    DesktopProcess second;
    QVERIFY(second.process().waitForFinished(20000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.process().exitCode(), 0);
    QCOMPARE(first.process().state(), QProcess::Running);
    const std::string log = m_world->home() + "/tulix.log";
    QVERIFY(test::WaitUntil([&] {
      return ReadAll(log).find("Another copy was started; showing this window") != std::string::npos;
    }));
  }

  void aCopyStartedWhileTheFirstStartsEndsSilently() {
    // This test holds the lock as a first copy would during its start-up, with no window yet.
    SingleInstance starting;
    QVERIFY(starting.Acquire());
    DesktopProcess second;
    QVERIFY(second.process().waitForFinished(20000));
    QCOMPARE(second.process().exitCode(), 0);
    // It ran none of the start-up: no log, no program folder contents.
    QVERIFY(!std::filesystem::exists(m_world->home() + "/tulix.log"));
  }

 private:
  std::unique_ptr<test::UiWorld> m_world;
};

}  // namespace tulix

QTEST_MAIN(tulix::DesktopProgramTest)
#include "desktop_program_test.moc"
