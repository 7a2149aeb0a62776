#include "frontend/shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace klaventa::gui {
namespace {

MessageHandler g_message_handler;
UrlHandler g_url_handler;
FolderHandler g_folder_handler;
OpenFilesHandler g_open_files_handler;

}  // namespace

void SetMessageHandler(MessageHandler handler) { g_message_handler = std::move(handler); }
void SetUrlHandler(UrlHandler handler) { g_url_handler = std::move(handler); }
void SetFolderHandler(FolderHandler handler) { g_folder_handler = std::move(handler); }
void SetOpenFilesHandler(OpenFilesHandler handler) { g_open_files_handler = std::move(handler); }

QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                        const QString& text, QMessageBox::StandardButtons buttons) {
  if (g_message_handler) return g_message_handler(MessageRequest{icon, caption, text, buttons});
  // Texts may break lines with "\n\r"; a label shows the carriage return as a glyph.
  QString shown = text;
  shown.remove(QLatin1Char('\r'));
  QMessageBox box(icon, caption, shown, buttons, parent);
  box.setTextFormat(Qt::PlainText);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void ShowInformation(QWidget* parent, const QString& text) {
  ShowMessage(parent, QMessageBox::Information, QStringLiteral("Information"), text, QMessageBox::Ok);
}

bool OpenUrl(const QUrl& url) {
  if (g_url_handler) return g_url_handler(url);
  return QDesktopServices::openUrl(url);
}

QString BrowseForFolder(QWidget* parent, const QString& caption, const QString& start) {
  if (g_folder_handler) return g_folder_handler(caption, start);
  return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
}

QStringList ChooseFiles(QFileDialog* dialog) {
  if (g_open_files_handler) return g_open_files_handler();
  if (dialog->exec() != QDialog::Accepted) return {};
  return dialog->selectedFiles();
}

const char* const OpenFileFilter =
    "All Supported Files|*.avi;*.mpeg;*.mpg;*.mpa;*.m1v;*.mv2;*.wma;*.wmv;*.asf;*.asx;*.mov; "
    "*.qt;*.3gp;*.3g2;*.mp3;*.mp2;*.ogg;*.aac;*.mp4;*.m4a;*.rm;*.rmvb;*.ram;*.ra;*.vob; *.dat;*.cda;*.dv; "
    "*.dif;*.wav; *.au; *.aiff;*.mjpg; *.mjpeg;*.ac3; *.gif; *.swf; *.flv|"
    "3GPP Files (*.3gp)|*.3gp|"
    "3GPP2 Files (*.3g2)|*.3g2|"
    "AAC Files (*.aac)|*.aac|"
    "AC3 Files (*.ac3)|*.ac3|"
    "Audio CD Files (*.cda)|*.cda|"
    "AVI Files (*.avi)|*.avi|"
    "DV Video Files (*.dv, *.dif)|*.dv;*.dif|"
    "DVD VOB Files (*.vob)|*.vob|"
    "GIF Animated Files (*.gif)|*.gif|"
    "Macromedia Flash Files (*.flv, *.swf)|*.flv; *.swf|"
    "Monkey Audio Files (*.ape, *.cue)|*.ape;*.cue|"
    "MJpeg Video Files (*.mjpg, *.mjpeg)|*.mjpg; *.mjpeg|"
    "MP2 Files (*.mp2)|*.mp2|"
    "MP3 Files (*.mp3)|*.mp3|"
    "MPEG Files (*.mpeg, *.mpg, *.mpa, *.m1v, *.mv2)|*.mpeg;*.mpg;*.mpa;*.m1v;*.mv2|"
    "MPEG-4 Files (*.mp4)|*.mp4|"
    "MPEG-4 Audio Files (*.m4a, *.mp4)|*.m4a; *.mp4|"
    "Ogg Vorbis Files (*.ogg)|*.ogg|"
    "RealMedia Files (*.rm, *.rmvb, *.ram, *.ra)|*.rm; *.rmvb; *.ram; *.ra|"
    "QuickTime Files (*.mov, *.qt)|*.mov; *.qt|"
    "VCD DAT Files (*.dat)|*.dat|"
    "WAV Files (*.wav, *.au, *.aiff)|*.wav; *.au; *.aiff|"
    "Windows Media Files(*.wma, *.wmv, *.asf, *.asx)|*.wma;*.wmv;*.asf;*.asx|";

QStringList NameFilters(const QString& filter) {
  // A Qt name filter takes its patterns from the last parentheses; the dialog
  // hides them (HideNameFilterDetails), so the description shows as written.
  // File names on Linux are case-sensitive: CLIP.AVI must match "*.avi" too.
  QStringList result;
  const QStringList parts = filter.split(QLatin1Char('|'));
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      const QString t = p.trimmed();
      if (t.isEmpty()) continue;
      patterns << t;
      if (t.toUpper() != t) patterns << t.toUpper();
    }
    result << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
  }
  return result;
}

QString HelpFilePath(const QString& exe_dir) {
  const QDir dir(exe_dir);
  const QString chm = dir.filePath(QStringLiteral("help.chm"));
  if (QFileInfo::exists(chm)) return chm;
  for (const QString& rel : {QStringLiteral("help/index.html"), QStringLiteral("../share/klaventa/help/index.html")}) {
    const QString html = QDir::cleanPath(dir.filePath(rel));
    if (QFileInfo::exists(html)) return html;
  }
  return chm;  // nothing installed: the desktop's handler reports it
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // A film strip with an arrow, as share/klaventa.svg.
    QLinearGradient g(0, 10, 0, 54);
    g.setColorAt(0, QColor(0x3b, 0x82, 0xc4));
    g.setColorAt(1, QColor(0x1d, 0x4f, 0x86));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(4, 10, 56, 44), 6, 6);
    p.setBrush(QColor(0x16, 0x3f, 0x6c));
    p.drawRect(QRectF(4, 10, 8, 44));
    p.drawRect(QRectF(52, 10, 8, 44));
    p.setBrush(QColor(0xdf, 0xe9, 0xf5));
    for (int y : {14, 24, 34, 44}) {
      p.drawRect(QRectF(6, y, 4, 4));
      p.drawRect(QRectF(54, y, 4, 4));
    }
    QPainterPath arrow;
    arrow.moveTo(18, 32);
    arrow.lineTo(36, 32);
    arrow.lineTo(36, 25);
    arrow.lineTo(46, 32);
    arrow.lineTo(36, 39);
    arrow.lineTo(36, 32);
    QPen pen(Qt::white, 4);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(arrow);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

}  // namespace klaventa::gui
