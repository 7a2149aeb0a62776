// Program start: the display check, the windows in their creation order.
#pragma once

#include <QString>
#include <memory>

namespace klaventa::gui {

class TForm1;

// Whether Qt can be expected to open a window here (checked before the
// application object exists); `why` says what is missing.
bool DisplayAvailable(QString* why);
// Turns Qt's fatal "cannot open the display" into a clear message and exit
// code 2 instead of an abort; call before creating the application object.
void CatchDisplayFailure();

// The folder the media libraries are taken from: "Common Files" beside the executable.
QString LibraryFolder();

// Creates the main window (whose creation binds the media libraries from
// `library_folder`), then the about box and the Additional Options dialog.
// Null after the start-up message when the libraries cannot be bound.
std::unique_ptr<TForm1> StartKlaventa(const QString& library_folder);

}  // namespace klaventa::gui
