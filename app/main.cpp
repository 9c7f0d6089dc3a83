// corvane [FILE]: the demo window; a FILE named is opened at start.
#include <QApplication>
#include <QStringList>
#include <QTimer>
#include <clocale>
#include <memory>

#include "MainForm.h"
#include "PreviewWindow.h"
#include "QtDispatcher.h"
#include "foundation/MainThread.h"

int main(int argc, char** argv) {
  // The player draws into X11 windows: under Wayland, run through XWayland.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "xcb");
  QApplication app(argc, argv);
  // Qt set the locale from the environment; numbers stay in the C format.
  std::setlocale(LC_NUMERIC, "C");

  auto dispatcher = std::make_shared<corvane::app::QtDispatcher>();
  corvane::setDispatcher(dispatcher);
  // Tasks that preview pictures show them in a small window of their own.
  corvane::SetDefaultPreviewSinkFactory(corvane::app::PreviewWindowFactory());
  QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { corvane::requestShutdown(); });

  int rc = 0;
  {
    corvane::app::TfrmCorvane form;
    // The player names its drivers itself; the environment may choose them.
    if (const QByteArray d = qgetenv("SDL_AUDIODRIVER"); !d.isEmpty())
      form.Player().SetAudioDriver(d.toStdString());
    form.show();
    const QStringList args = QCoreApplication::arguments();
    if (args.size() > 1) {
      const QString file = args.at(1);
      // Once the window is shown and its native windows exist.
      QTimer::singleShot(0, &form, [&form, file] { form.OpenFile(file); });
    }
    rc = QApplication::exec();
  }
  corvane::SetDefaultPreviewSinkFactory(nullptr);
  corvane::setDispatcher(nullptr);
  return rc;
}
