// TForm1: the main window. A file list, the output-format list and the setting
// lists (bound to a ProfileModel), the output folder, volume and aspect, and the
// file-by-file conversion sequence driving one TMediaConverter.
//
// Threads: everything runs on the GUI thread except the component's progress
// and termination events, which arrive on its worker thread with its lock held;
// they touch only atomics there and queue their widget work to the GUI thread.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QStringList>
#include <atomic>
#include <memory>

#include "component/converter.h"
#include "profiles/profiles.h"

class QAction;
class QComboBox;
class QFileDialog;
class QLineEdit;
class QMenu;
class QProgressBar;
class QSlider;
class QStatusBar;
class QTimer;
class QToolButton;
class QPushButton;
class QTreeWidgetItem;

namespace klaventa::gui {

class DropDownCombo;
class FileListView;
class QtScheduler;
class TForm4;
class TFormAbout;

// Columns of ListView1.
enum ListColumn {
  colFileName = 0,
  colVideoSize = 1,
  colFrameRate = 2,
  colDuration = 3,
  colOutput = 4,
  colProgress = 5,
  colFrames = 6,
  colHidden = 7,
  colCount = 8
};

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Creation handler: binds the media libraries from `library_folder` (the
  // message and false when that fails), then fills the lists.
  bool FormCreate(const QString& library_folder);
  // Creates the about box, then the Additional Options dialog (which loads the
  // stored settings).
  void CreateDialogs();

  // ---- commands ----
  void ButtonAddFileClick();  // with the open dialog
  // The "Add Files" command for files already chosen (also dropped files).
  void AddFiles(const QStringList& files);
  void ButtonRemoveClick();
  void ButtonClearClick();
  void CheckAllItems(bool checked);
  void ButtonBrowseForFolderClick();
  void ButtonConvertClick();
  void ButtonStopConvertClick();
  void ShowAdditionalOptions();
  void OpenHelpFile();
  void ShowAbout();
  void VisitWebsite();

  // ---- sequence ----
  void ConvertNextFile();
  void TimerConvertAgainTimer();
  static QString MakeUniqueFileName(const QString& path, const QString& ext);
  void DisableControls();
  void EnableControls();
  void TrackBar1Change();

  // ---- file intake ----
  void RunIntake(const QStringList& files);
  static QString FormatDuration(QChar separator, double seconds);
  static QString FrameRateText(int num, int den);
  // W / H of a "Video Size" cell to four decimals, "1.3333" when unreadable.
  static QString AspectFromVideoSize(const QString& cell);

  // ---- component events (worker thread) ----
  void ConverterProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                         float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration);
  void ConverterTerminate(int AIndex, bool AFinished, bool AException, const std::string& AMsg);

  // ---- profile model binding ----
  void OnOutputFormatChanged(int index);
  void SyncFromModel();
  void SetDropDownCount(int rows);

  // ---- state ----
  TMediaConverter& Converter() { return *Converter_; }
  ProfileModel& Profile() { return Model; }
  TForm4* Form4() const { return Form4_; }
  TFormAbout* FormAbout() const { return FormAbout_; }
  bool IsFileBusy() const { return FileBusy; }
  bool IsAddingFiles() const { return AddingFiles; }
  int VolumeValueNow() const { return VolumeValue; }
  const TOutputOptions& LastOutputOptions() const { return CurrentOutputOptions; }

  // Controls (object names as on the form).
  QToolButton* ButtonAddFile = nullptr;
  QToolButton* ButtonRemove = nullptr;
  QToolButton* ButtonClear = nullptr;
  QToolButton* ButtonStopConvert = nullptr;
  QToolButton* ButtonConvert = nullptr;
  FileListView* ListView1 = nullptr;
  DropDownCombo* ComboOutputFormat = nullptr;
  QLineEdit* EditOutputFolder = nullptr;
  QToolButton* ButtonBrowseForFolder = nullptr;
  QComboBox* ComboVideoCodec = nullptr;
  QComboBox* ComboVideoSize = nullptr;
  QComboBox* ComboVideoBitrate = nullptr;
  QComboBox* ComboVideoFramerate = nullptr;
  QComboBox* ComboAudioCodec = nullptr;
  QComboBox* ComboAudioBitrate = nullptr;
  QComboBox* ComboAudioChannels = nullptr;
  QComboBox* ComboSamplingRate = nullptr;
  QComboBox* ComboLetterBox = nullptr;
  QComboBox* ComboAspectRatio = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* LabelVolume = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QPushButton* ButtonStopSmall = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QLabel* StatusPanels[3] = {nullptr, nullptr, nullptr};
  QMenu* PopupListView1 = nullptr;
  QMenu* MenuFile = nullptr;
  QMenu* MenuOptions = nullptr;
  QMenu* MenuHelp = nullptr;
  QTimer* TimerConvertAgain = nullptr;
  QFileDialog* OpenDialog1 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void BuildMenus();
  void BindModel();
  void ClearProgressCells();
  void SetCell(int row, int column, const QString& text);
  QTreeWidgetItem* Row(int row) const;
  void SetProgressBar(int value);
  void DetachConverterEvents();
  void WriteOutputColumn(const std::string& ext);

  std::unique_ptr<QtScheduler> Scheduler_;
  std::unique_ptr<TMediaConverter> Converter_;
  ProfileModel Model;
  TForm4* Form4_ = nullptr;
  TFormAbout* FormAbout_ = nullptr;

  int CurrentRow = -1;
  bool IsLastRow = false;
  std::atomic<bool> SequenceDone{false};
  int IdleTicks = 0;
  std::atomic<bool> FileBusy{false};
  std::atomic<bool> StopRequested{false};
  bool AddingFiles = false;
  int VolumeValue = 256;
  TOutputOptions CurrentOutputOptions;

  // Row of the file the running task converts, and the sequence it belongs
  // to: read by the worker-thread events, so that queued cell updates land in
  // the right row and updates of an ended sequence are dropped.
  std::atomic<int> ActiveRow{-1};
  std::atomic<unsigned> Generation{0};
  bool Syncing = false;
  bool FirstShown = false;
  bool PopupEnabled = true;
};

}  // namespace klaventa::gui
