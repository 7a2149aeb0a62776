// File intake: probe each chosen file and add a ticked row describing it.
#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QTreeWidgetItem>
#include <cmath>

#include "frontend/mainwindow.h"
#include "frontend/shell.h"
#include "frontend/widgets.h"

namespace klaventa::gui {

void TForm1::ButtonAddFileClick() {
  if (FileBusy || AddingFiles) return;
  Converter_->ClearTasks();
  ClearProgressCells();
  AddingFiles = true;
  try {
    const QStringList files = ChooseFiles(OpenDialog1);
    if (!files.isEmpty()) RunIntake(files);
  } catch (...) {
  }
  AddingFiles = false;
}

void TForm1::AddFiles(const QStringList& files) {
  // A second intake while one runs (it processes events) is ignored.
  if (FileBusy || AddingFiles) return;
  Converter_->ClearTasks();
  ClearProgressCells();
  AddingFiles = true;
  try {
    RunIntake(files);
  } catch (...) {
  }
  AddingFiles = false;
}

void TForm1::RunIntake(const QStringList& files) {
  TAVProbe& probe = Converter_->AVProbe();
  const QString ext = QString::fromStdString(Model.OutputExt);
  try {
    for (const QString& file : files) {
      auto* item = new QTreeWidgetItem;
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      item->setText(colFileName, file);
      for (int c = colVideoSize; c < colHidden; ++c) item->setTextAlignment(c, Qt::AlignCenter);
      // A file without streams has nothing to convert: it is as unreadable.
      if (probe.LoadFile(QFile::encodeName(file).toStdString(), "") && probe.StreamCount() > 0) {
        QString size = QStringLiteral(" "), rate = QStringLiteral(" ");
        if (probe.VideoStreamCount() != 0) {
          TAVVideoInfo video;
          probe.GetVideoInfo(video);
          size = QString::number(video.Width) + QLatin1Char('x') + QString::number(video.Height);
          rate = FrameRateText(video.FrameRateNum, video.FrameRateDen);
        }
        TAVFileInfo info;
        probe.GetFileInfo(info);
        QString duration = FormatDuration(QLatin1Char(':'), static_cast<double>(info.Duration / 1000000));
        if (duration.contains(QLatin1Char('-'))) duration = QStringLiteral("Unknown");
        item->setText(colVideoSize, size);
        item->setText(colFrameRate, rate);
        item->setText(colDuration, duration);
        item->setText(colOutput, ext);
      } else {
        item->setText(colProgress, QStringLiteral("Error"));
      }
      item->setCheckState(colFileName, Qt::Checked);
      ListView1->addTopLevelItem(item);
      ListView1->scrollToItem(item);
      // Keep the window painting while a long selection is worked through.
      QCoreApplication::processEvents();
    }
  } catch (...) {
    // A probe that cannot work (libraries not bound) ends the intake quietly.
  }
  probe.CloseFile();
}

QString TForm1::FormatDuration(QChar separator, double seconds) {
  const double m = std::trunc(seconds / 60.0);
  const long long minutes_total = static_cast<long long>(m);
  const long long hours = minutes_total / 60;
  const long long minutes = minutes_total % 60;
  const long long secs = static_cast<long long>(std::nearbyint(seconds - m * 60.0));
  auto two = [](long long v) {
    // The "00" pattern: at least two digits, the sign in front.
    const QString digits = QString::number(v < 0 ? -v : v).rightJustified(2, QLatin1Char('0'));
    return v < 0 ? QLatin1Char('-') + digits : digits;
  };
  return two(hours) + separator + two(minutes) + separator + two(secs);
}

QString TForm1::FrameRateText(int num, int den) {
  if (den == 0) return QStringLiteral(" ");  // no rate known
  const double r = std::nearbyint(static_cast<double>(num) / den * 100.0) / 100.0;
  if (!std::isfinite(r)) return QStringLiteral(" ");
  QLocale locale;
  locale.setNumberOptions(QLocale::OmitGroupSeparator);
  return locale.toString(r, 'g', 15);
}

}  // namespace klaventa::gui
