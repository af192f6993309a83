#include "ui/desktop_program.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>
#include <QTimer>

#include <filesystem>

#include "app/application_core.h"
#include "app/browser_components.h"
#include "base/log.h"
#include "platform/single_instance.h"
#include "ui/known_sites_dialog.h"
#include "ui/main_frame.h"
#include "ui/options_sheet.h"
#include "ui/password_dialog.h"
#include "ui/property_dialogs.h"
#include "ui/qt_event_loop.h"
#include "ui/search_sheet.h"
#include "ui/tip_of_the_day.h"

namespace tulix {

namespace {

// The real dialogs behind the window's commands.
FrameDialogs ProgramDialogs(const OptionsHooks& optionsHooks) {
  FrameDialogs dialogs;
  dialogs.editSearch = EditSearchSettings;
  dialogs.engineProperties = EditEngineProperties;
  dialogs.categoryProperties = EditCategoryProperties;
  dialogs.folderProperties = EditSearchFolderProperties;
  dialogs.knownSites = ShowKnownSitesDialog;
  dialogs.options = [optionsHooks](QWidget* parent) { ShowOptionsSheet(parent, optionsHooks); };
  dialogs.tipOfTheDay = ShowTipOfTheDay;
  return dialogs;
}

}  // namespace

int RunDesktopProgram(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tulix"));
  QApplication::setDesktopFileName(QStringLiteral("tulix"));
  QtEventLoop loop;

  CMainFrame frame;
  QtPasswordPrompt passwordPrompt(&frame);
  OptionsHooks optionsHooks;
  optionsHooks.prompt = &passwordPrompt;
  optionsHooks.registerBrowserComponents = [](bool reg) { RegisterBrowserComponents(reg); };
  {
    FrameDialogs dialogs = ProgramDialogs(optionsHooks);
    dialogs.message = frame.dialogs().message;
    dialogs.question = frame.dialogs().question;
    frame.dialogs() = dialogs;
  }
  // The log can show its status text and boxes from the first start-up step on.
  SetLogUserInterface(&frame);

  ApplicationCore core(loop);
  StartupOptions options;
  options.singleInstance = true;
  options.checkEngines = false;  // run below, once the window shows
  options.familyPrompt = &passwordPrompt;
  if (core.Start(options) == StartResult::kAnotherCopyRuns) {
    SetLogUserInterface(nullptr);
    return 0;
  }

  frame.Attach();
  frame.setWindowIcon(ProgramIcon());
  frame.show();

  core.CheckEngines();

  // A copy started later asks, through the single-instance socket, for this window.
  QPointer<CMainFrame> window(&frame);
  if (core.singleInstance() != nullptr) {
    core.singleInstance()->PublishWindow([window] {
      QMetaObject::invokeMethod(qApp, [window] {
        if (window) {
          LogMessage(0, kLogPlain, "Another copy was started; showing this window");
          window->showNormal();
          window->raise();
          window->activateWindow();
        }
      });
    });
  }

  // The toolbar question and the tips, once the loop runs: a box waiting for a click must not
  // keep this copy from answering a second one.
  if (!std::filesystem::exists(kTipsFile)) {
    SetTipsFolder(BundledDataFolder());
  }
  QTimer::singleShot(0, &frame, [&frame] {
    AskBrowserToolbarQuestion([&frame](const std::string& question) {
      return frame.dialogs().question(&frame, QString::fromStdString(question));
    });
    if (TipsWanted()) {
      ShowTipOfTheDay(&frame);
    }
  });

  const int code = QApplication::exec();
  frame.Detach();
  SetLogUserInterface(nullptr);
  core.Shutdown();
  return code;
}

}  // namespace tulix
