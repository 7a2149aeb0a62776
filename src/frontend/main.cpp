// klaventa: the desktop application.
//
// Debugging aid: `klaventa --screenshot OUT.png --output-folder DIR FILE...`
// adds the files, converts them and saves a picture of the window while the
// second file converts, then stops and quits.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>
#include <clocale>
#include <cstdio>

#include "frontend/mainwindow.h"
#include "frontend/shell.h"
#include "frontend/startup.h"
#include "frontend/widgets.h"

using namespace klaventa::gui;

namespace {

void take_screenshot_when_converting(TForm1* w, const QString& out, const QString& folder, const QStringList& files) {
  SetMessageHandler([](const MessageRequest&) { return QMessageBox::Yes; });
  w->EditOutputFolder->setText(folder);
  w->Converter().SetProgressInterval(100);
  w->AddFiles(files);
  w->ButtonConvertClick();
  auto* poll = new QTimer(w);
  auto* waited = new int(0);
  QObject::connect(poll, &QTimer::timeout, w, [w, poll, waited, out] {
    bool done = false, converting = false;
    for (int i = 0; i < w->ListView1->topLevelItemCount(); ++i) {
      const QString p = w->ListView1->topLevelItem(i)->text(colProgress);
      done = done || p == QLatin1String("Done");
      converting = converting || (p.endsWith(QLatin1Char('%')) && p.chopped(1).toInt() >= 40);
    }
    if (!(done && converting) && ++*waited < 3000) return;
    poll->stop();
    delete waited;
    const bool saved = w->grab().save(out);
    std::fprintf(stderr, "klaventa: screenshot %s %s\n", qPrintable(out), saved ? "saved" : "NOT saved");
    w->ButtonStopConvertClick();
    QTimer::singleShot(500, w, [w] {
      w->close();
      QCoreApplication::exit(0);
    });
  });
  poll->start(10);
}

}  // namespace

int main(int argc, char** argv) {
  QString why;
  if (!DisplayAvailable(&why)) {
    std::fprintf(stderr,
                 "klaventa: cannot open a window: no usable display (%s).\n"
                 "Run it on a desktop session, or use klaventa-cli to convert without a window.\n",
                 qPrintable(why));
    return 2;
  }
  CatchDisplayFailure();
  QApplication app(argc, argv);
  // Qt takes the user's locale for C number formatting; the media libraries
  // and the engine read and write numbers with '.'.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QStringLiteral("Klaventa"));
  QApplication::setOrganizationName(QStringLiteral("Morvello"));
  QApplication::setWindowIcon(AppIcon());

  QString screenshot, folder;
  QStringList files;
  const QStringList args = QApplication::arguments();
  for (int i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--screenshot") && i + 1 < args.size()) screenshot = args[++i];
    else if (args[i] == QLatin1String("--output-folder") && i + 1 < args.size()) folder = args[++i];
    else if (!screenshot.isEmpty()) files << QFileInfo(args[i]).absoluteFilePath();
  }

  std::unique_ptr<TForm1> window = StartKlaventa(LibraryFolder());
  if (!window) return 1;
  window->show();
  if (!screenshot.isEmpty())
    take_screenshot_when_converting(window.get(), screenshot, folder.isEmpty() ? QDir::tempPath() : folder, files);
  return app.exec();
}
