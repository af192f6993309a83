#include "ui/desktop_program.h"

#include <QApplication>
#include <QIcon>
#include <QPointer>

#include "app/application_core.h"
#include "base/log.h"
#include "platform/single_instance.h"
#include "ui/main_frame.h"
#include "ui/qt_event_loop.h"

namespace tulix {

int RunDesktopProgram(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tulix"));
  QApplication::setDesktopFileName(QStringLiteral("tulix"));
  QtEventLoop loop;

  CMainFrame frame;
  // The log can show its status text and boxes from the first start-up step on.
  SetLogUserInterface(&frame);

  ApplicationCore core(loop);
  StartupOptions options;
  options.singleInstance = true;
  options.checkEngines = false;  // run below, once the window shows
  if (core.Start(options) == StartResult::kAnotherCopyRuns) {
    SetLogUserInterface(nullptr);
    return 0;
  }

  frame.Attach();
  frame.setWindowIcon(QIcon::fromTheme(QStringLiteral("tulix")));
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

  const int code = QApplication::exec();
  frame.Detach();
  SetLogUserInterface(nullptr);
  core.Shutdown();
  return code;
}

}  // namespace tulix
