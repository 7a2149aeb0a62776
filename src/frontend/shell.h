// Desktop services the windows share: message boxes, opening addresses and
// files, the folder and file dialogs, the open-file filter, the help file and
// the application icon. Every dialog goes through one function here so that a
// test can answer it instead of a person.
#pragma once

#include <QIcon>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

class QFileDialog;
class QWidget;

namespace klaventa::gui {

struct MessageRequest {
  QMessageBox::Icon icon = QMessageBox::Information;
  QString caption;
  QString text;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

using MessageHandler = std::function<QMessageBox::StandardButton(const MessageRequest&)>;
using UrlHandler = std::function<bool(const QUrl&)>;
using FolderHandler = std::function<QString(const QString& caption, const QString& start)>;
using OpenFilesHandler = std::function<QStringList()>;

// An empty handler restores the real dialog.
void SetMessageHandler(MessageHandler handler);
void SetUrlHandler(UrlHandler handler);
void SetFolderHandler(FolderHandler handler);
void SetOpenFilesHandler(OpenFilesHandler handler);

// Shows a message box and returns the button pressed.
QMessageBox::StandardButton ShowMessage(QWidget* parent, QMessageBox::Icon icon, const QString& caption,
                                        const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
// "Information" box with the information icon and OK.
void ShowInformation(QWidget* parent, const QString& text);
// Opens an address or a local file with the desktop's handler.
bool OpenUrl(const QUrl& url);
// Folder chooser; empty when cancelled.
QString BrowseForFolder(QWidget* parent, const QString& caption, const QString& start);
// Runs the given open dialog (or the handler); the chosen files, empty when cancelled.
QStringList ChooseFiles(QFileDialog* dialog);

// The file-type filter of the open dialog, as "description|patterns|...|".
extern const char* const OpenFileFilter;
// The filter as name filters for a QFileDialog (patterns in upper case too).
QStringList NameFilters(const QString& filter);

// The help to show for an executable folder: "help.chm" there when it exists,
// else the HTML guide beside the executable or in the installed share folder.
QString HelpFilePath(const QString& exe_dir);

// The window icon, drawn in code (no image plug-in needed).
QIcon AppIcon();

}  // namespace klaventa::gui
