#include "frontend/startup.h"

#include <QCoreApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>

#include "frontend/mainwindow.h"

namespace klaventa::gui {
namespace {

QtMessageHandler g_previous_handler = nullptr;

void display_failure_handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg &&
      (message.contains(QLatin1String("platform plugin")) || message.contains(QLatin1String("display")))) {
    std::fprintf(stderr,
                 "klaventa: cannot open a window: no usable display (%s).\n"
                 "Run it on a desktop session, or use klaventa-cli to convert without a window.\n",
                 qPrintable(message.section(QLatin1Char('\n'), 0, 0)));
    std::_Exit(2);
  }
  if (g_previous_handler) g_previous_handler(type, context, message);
}

}  // namespace

bool DisplayAvailable(QString* why) {
  const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM").section(QLatin1Char(':'), 0, 0);
  const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
  const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  QString missing;
  if (platform.isEmpty()) {
    if (!x11 && !wayland) missing = QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
  } else if (platform == QLatin1String("xcb")) {
    if (!x11) missing = QStringLiteral("DISPLAY is not set");
  } else if (platform.startsWith(QLatin1String("wayland"))) {
    if (!wayland) missing = QStringLiteral("WAYLAND_DISPLAY is not set");
  }
  if (why) *why = missing;
  return missing.isEmpty();
}

void CatchDisplayFailure() {
  QtMessageHandler previous = qInstallMessageHandler(display_failure_handler);
  if (previous != display_failure_handler) g_previous_handler = previous;
}

QString LibraryFolder() { return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Common Files")); }

std::unique_ptr<TForm1> StartKlaventa(const QString& library_folder) {
  auto window = std::make_unique<TForm1>();
  if (!window->FormCreate(library_folder)) return nullptr;
  window->CreateDialogs();
  return window;
}

}  // namespace klaventa::gui
