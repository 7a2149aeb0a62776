#include "frontend/mainwindow.h"

#include <QAction>
#include <QCheckBox>
#include <QSpinBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>
#include <cstdio>

#include "frontend/about.h"
#include "frontend/additional_options.h"
#include "frontend/shell.h"
#include "frontend/widgets.h"

namespace klaventa::gui {
namespace {

constexpr int kClientWidth = 767;
constexpr int kClientHeight = 514;
constexpr int kHintHidePause = 30000;

// Volume factor per track-bar position; 256 is the engine's "unchanged".
constexpr int kVolumeFactors[11] = {1, 50, 100, 150, 200, 256, 300, 350, 400, 450, 600};

QToolButton* flat_button(QWidget* parent, const char* name, const QString& caption, const QString& hint,
                         QStyle::StandardPixmap pixmap) {
  auto* b = new QToolButton(parent);
  b->setObjectName(QLatin1String(name));
  b->setText(caption);
  b->setToolTip(hint);
  b->setToolTipDuration(kHintHidePause);
  b->setAutoRaise(true);
  b->setIcon(parent->style()->standardIcon(pixmap));
  b->setIconSize(QSize(24, 24));
  b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  return b;
}

QComboBox* drop_down(QWidget* parent, const char* name) {
  auto* c = new QComboBox(parent);
  c->setObjectName(QLatin1String(name));
  c->setEditable(false);
  c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  c->setMinimumContentsLength(8);
  return c;
}

// Replaces the extension of a file name (the part from its last dot).
QString change_ext(const QString& name, const QString& ext) {
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  return (dot < 0 ? name : name.left(dot)) + ext;
}

}  // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("Form1"));
  Scheduler_ = std::make_unique<QtScheduler>(this);
  Converter_ = std::make_unique<TMediaConverter>(Scheduler_.get());
  BuildControls();
  BuildMenus();
  BindModel();

  // Fixed single border with the system menu and the minimise box only.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
  setWindowIcon(AppIcon());

  TimerConvertAgain = new QTimer(this);
  TimerConvertAgain->setObjectName(QStringLiteral("TimerConvertAgain"));
  TimerConvertAgain->setInterval(100);
  connect(TimerConvertAgain, &QTimer::timeout, this, &TForm1::TimerConvertAgainTimer);

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));

  Converter_->OnProgress = [this](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                  float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    ConverterProgress(AIndex, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                      ATotalOutputDuration);
  };
  Converter_->OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string& AMsg) {
    ConverterTerminate(AIndex, AFinished, AException, AMsg);
  };
}

TForm1::~TForm1() {
  if (TimerConvertAgain) TimerConvertAgain->stop();
  DetachConverterEvents();
  Converter_->StopConvert();
  Converter_.reset();  // stops and waits for a running task
}

// ---- construction -------------------------------------------------------------

void TForm1::BuildControls() {
  auto* central = new QWidget(this);
  auto* v = new QVBoxLayout(central);
  v->setContentsMargins(6, 4, 6, 2);
  v->setSpacing(4);

  auto* top = new QHBoxLayout;
  top->setSpacing(2);
  ButtonAddFile = flat_button(central, "ButtonAddFile", QStringLiteral("Add Files"),
                              QStringLiteral("Add Files to Convert"), QStyle::SP_DialogOpenButton);
  ButtonRemove = flat_button(central, "ButtonRemove", QStringLiteral("Remove"),
                             QStringLiteral("Remove A Single File From List"), QStyle::SP_DialogDiscardButton);
  ButtonClear = flat_button(central, "ButtonClear", QStringLiteral("Clear All "),
                            QStringLiteral("Clear All Files Listed"), QStyle::SP_DialogResetButton);
  ButtonStopConvert = flat_button(central, "ButtonStopConvert", QStringLiteral("Stop Convert"),
                                  QStringLiteral("Stop Conversion"), QStyle::SP_MediaStop);
  ButtonConvert = flat_button(central, "ButtonConvert", QStringLiteral("Convert Now !"),
                              QStringLiteral("Start Conversion"), QStyle::SP_MediaPlay);
  top->addWidget(ButtonAddFile);
  top->addWidget(ButtonRemove);
  top->addWidget(ButtonClear);
  top->addStretch(1);
  top->addWidget(ButtonStopConvert);
  top->addWidget(ButtonConvert);
  v->addLayout(top);

  ListView1 = new FileListView(central);
  ListView1->setObjectName(QStringLiteral("ListView1"));
  ListView1->setColumnCount(colCount);
  ListView1->setHeaderLabels({QStringLiteral("Video File Name"), QStringLiteral("Video Size"),
                              QStringLiteral("FrameRate"), QStringLiteral("Duration"), QStringLiteral("Output"),
                              QStringLiteral("Progress"), QStringLiteral("Frames"), QString()});
  ListView1->setRootIsDecorated(false);
  ListView1->setItemsExpandable(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  ListView1->header()->setStretchLastSection(false);
  ListView1->header()->setSectionsMovable(false);
  const int widths[] = {300, 90, 90, 60, 65, 57, 60};
  for (int c = 0; c < colHidden; ++c) {
    ListView1->setColumnWidth(c, widths[c]);
    ListView1->headerItem()->setTextAlignment(c, c == 0 ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::AlignCenter);
  }
  ListView1->setColumnHidden(colHidden, true);
  connect(ListView1, &FileListView::filesDropped, this, &TForm1::AddFiles);
  connect(ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    if (PopupEnabled) PopupListView1->popup(ListView1->viewport()->mapToGlobal(pos));
  });
  v->addWidget(ListView1, 1);

  auto* paths = new QHBoxLayout;
  paths->setSpacing(4);
  paths->addWidget(new QLabel(QStringLiteral("Output Format : "), central));
  ComboOutputFormat = new DropDownCombo(central);
  ComboOutputFormat->setObjectName(QStringLiteral("ComboOutputFormat"));
  ComboOutputFormat->setEditable(false);
  // Honour the row count on every style (some show the whole list otherwise).
  ComboOutputFormat->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
  ComboOutputFormat->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ComboOutputFormat->setMinimumContentsLength(20);
  paths->addWidget(ComboOutputFormat, 5);
  paths->addSpacing(8);
  paths->addWidget(new QLabel(QStringLiteral("Output Folder : "), central));
  EditOutputFolder = new QLineEdit(central);
  EditOutputFolder->setObjectName(QStringLiteral("EditOutputFolder"));
  EditOutputFolder->setReadOnly(true);
  EditOutputFolder->setEnabled(false);
  paths->addWidget(EditOutputFolder, 4);
  ButtonBrowseForFolder = new QToolButton(central);
  ButtonBrowseForFolder->setObjectName(QStringLiteral("ButtonBrowseForFolder"));
  ButtonBrowseForFolder->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  ButtonBrowseForFolder->setToolTip(QStringLiteral("Browse For Folder"));
  ButtonBrowseForFolder->setToolTipDuration(kHintHidePause);
  connect(ButtonBrowseForFolder, &QToolButton::clicked, this, &TForm1::ButtonBrowseForFolderClick);
  paths->addWidget(ButtonBrowseForFolder);
  v->addLayout(paths);

  auto* groups = new QHBoxLayout;
  groups->setSpacing(6);
  auto make_group = [&](const QString& title) {
    auto* g = new QGroupBox(title, central);
    auto* grid = new QGridLayout(g);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(3);
    grid->setColumnStretch(1, 1);
    groups->addWidget(g, 1);
    return grid;
  };
  auto add_row = [](QGridLayout* grid, int row, const QString& label, QWidget* w) {
    grid->addWidget(new QLabel(label, w->parentWidget()), row, 0);
    grid->addWidget(w, row, 1);
  };

  QGridLayout* video = make_group(QStringLiteral(" Video Settings "));
  QWidget* video_box = video->parentWidget();
  ComboVideoCodec = drop_down(video_box, "ComboVideoCodec");
  ComboVideoSize = drop_down(video_box, "ComboVideoSize");
  ComboVideoBitrate = drop_down(video_box, "ComboVideoBitrate");
  ComboVideoFramerate = drop_down(video_box, "ComboVideoFramerate");
  add_row(video, 0, QStringLiteral("Video Codec : "), ComboVideoCodec);
  add_row(video, 1, QStringLiteral("Video Size : "), ComboVideoSize);
  add_row(video, 2, QStringLiteral("Video Bitrate : "), ComboVideoBitrate);
  add_row(video, 3, QStringLiteral("Video Framerate : "), ComboVideoFramerate);

  QGridLayout* audio = make_group(QStringLiteral(" Audio Settings "));
  QWidget* audio_box = audio->parentWidget();
  ComboAudioCodec = drop_down(audio_box, "ComboAudioCodec");
  ComboAudioBitrate = drop_down(audio_box, "ComboAudioBitrate");
  ComboAudioChannels = drop_down(audio_box, "ComboAudioChannels");
  ComboSamplingRate = drop_down(audio_box, "ComboSamplingRate");
  add_row(audio, 0, QStringLiteral("Audio Codec : "), ComboAudioCodec);
  add_row(audio, 1, QStringLiteral("Audio Bitrate :"), ComboAudioBitrate);
  add_row(audio, 2, QStringLiteral("Audio Channels :"), ComboAudioChannels);
  add_row(audio, 3, QStringLiteral("Sampling Rate : "), ComboSamplingRate);

  QGridLayout* general = make_group(QStringLiteral(" General Settings "));
  QWidget* general_box = general->parentWidget();
  ComboLetterBox = drop_down(general_box, "ComboLetterBox");
  ComboLetterBox->setToolTip(QStringLiteral("Add a letterbox to keep video aspect ratio"));
  ComboLetterBox->setToolTipDuration(kHintHidePause);
  ComboAspectRatio = drop_down(general_box, "ComboAspectRatio");
  add_row(general, 0, QStringLiteral("Video Zoom : "), ComboLetterBox);
  add_row(general, 1, QStringLiteral("Aspect Ratio : "), ComboAspectRatio);
  TrackBar1 = new QSlider(Qt::Horizontal, general_box);
  TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
  TrackBar1->setRange(0, 10);
  TrackBar1->setSingleStep(1);
  TrackBar1->setPageStep(1);
  TrackBar1->setTickInterval(1);
  TrackBar1->setTickPosition(QSlider::TicksBelow);
  // The hint is kept with the control but not shown (its hints are off).
  TrackBar1->setWhatsThis(QStringLiteral("100% is the original video volume"));
  connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
  LabelVolume = new QLabel(general_box);
  LabelVolume->setObjectName(QStringLiteral("LabelVolume"));
  LabelVolume->setMinimumWidth(LabelVolume->fontMetrics().horizontalAdvance(QStringLiteral("200%")) + 4);
  auto* volume_row = new QHBoxLayout;
  volume_row->setSpacing(4);
  volume_row->addWidget(TrackBar1, 1);
  volume_row->addWidget(LabelVolume);
  general->addWidget(new QLabel(QStringLiteral("Volume : "), general_box), 2, 0);
  general->addLayout(volume_row, 2, 1);
  general->setRowStretch(3, 1);
  v->addLayout(groups);

  auto* progress = new QHBoxLayout;
  progress->setSpacing(6);
  ProgressBar1 = new QProgressBar(central);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ButtonStopSmall = new QPushButton(QStringLiteral("Stop"), central);
  ButtonStopSmall->setObjectName(QStringLiteral("ButtonStopSmall"));
  connect(ButtonStopSmall, &QPushButton::clicked, this, &TForm1::ButtonStopConvertClick);
  progress->addWidget(ProgressBar1, 1);
  progress->addWidget(ButtonStopSmall);
  v->addLayout(progress);

  setCentralWidget(central);

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setSizeGripEnabled(false);
  const int panel_widths[3] = {150, 300, 50};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(StatusBar1);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setFixedWidth(panel_widths[i]);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    StatusBar1->addWidget(panel);
    StatusPanels[i] = panel;
  }
  StatusPanels[0]->setText(QStringLiteral("Ready"));
  setStatusBar(StatusBar1);

  connect(ButtonAddFile, &QToolButton::clicked, this, &TForm1::ButtonAddFileClick);
  connect(ButtonRemove, &QToolButton::clicked, this, &TForm1::ButtonRemoveClick);
  connect(ButtonClear, &QToolButton::clicked, this, &TForm1::ButtonClearClick);
  connect(ButtonStopConvert, &QToolButton::clicked, this, &TForm1::ButtonStopConvertClick);
  connect(ButtonConvert, &QToolButton::clicked, this, &TForm1::ButtonConvertClick);
}

void TForm1::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  MenuFile = bar->addMenu(QStringLiteral("File"));
  MenuFile->addAction(QStringLiteral("Add Files"), this, &TForm1::ButtonAddFileClick);
  MenuFile->addSeparator();
  MenuFile->addAction(QStringLiteral("Convert"), this, &TForm1::ButtonConvertClick);
  MenuFile->addSeparator();
  // Through the close handler, so that the settings are saved as on closing.
  MenuFile->addAction(QStringLiteral("Exit"), this, &QWidget::close);
  MenuOptions = bar->addMenu(QStringLiteral("Options"));
  MenuOptions->addAction(QStringLiteral("Set Additional Options"), this, &TForm1::ShowAdditionalOptions);
  MenuHelp = bar->addMenu(QStringLiteral("Help"));
  MenuHelp->addAction(QStringLiteral("Open Help File"), this, &TForm1::OpenHelpFile);
  MenuHelp->addSeparator();
  MenuHelp->addAction(QStringLiteral("Visit Morvello Website"), this, &TForm1::VisitWebsite);
  MenuHelp->addSeparator();
  MenuHelp->addAction(QStringLiteral("About"), this, &TForm1::ShowAbout);

  PopupListView1 = new QMenu(this);
  PopupListView1->setObjectName(QStringLiteral("PopupListView1"));
  PopupListView1->addAction(QStringLiteral("Check All Items"), this, [this] { CheckAllItems(true); });
  PopupListView1->addAction(QStringLiteral("Uncheck All Items"), this, [this] { CheckAllItems(false); });
  PopupListView1->addSeparator();
  PopupListView1->addAction(QStringLiteral("Remove Selected Item"), this, &TForm1::ButtonRemoveClick);
  PopupListView1->addAction(QStringLiteral("Clear All Items"), this, &TForm1::ButtonClearClick);
}

// ---- profile model binding ----------------------------------------------------

namespace {

struct Binding {
  QComboBox* combo;
  SettingList* list;
};

}  // namespace

void TForm1::BindModel() {
  Model.OnOutputColumn = [this](const std::string& ext) { WriteOutputColumn(ext); };
  const Binding bindings[] = {
      {ComboVideoCodec, &Model.ComboVideoCodec},       {ComboVideoSize, &Model.ComboVideoSize},
      {ComboVideoBitrate, &Model.ComboVideoBitrate},   {ComboVideoFramerate, &Model.ComboVideoFramerate},
      {ComboAudioCodec, &Model.ComboAudioCodec},       {ComboAudioBitrate, &Model.ComboAudioBitrate},
      {ComboAudioChannels, &Model.ComboAudioChannels}, {ComboSamplingRate, &Model.ComboSamplingRate},
      {ComboAspectRatio, &Model.ComboAspectRatio}};
  for (const Binding& b : bindings) {
    SettingList* list = b.list;
    connect(b.combo, &QComboBox::currentIndexChanged, this, [this, list](int index) {
      if (!Syncing) list->set_index(index);
    });
  }
  connect(ComboOutputFormat, &QComboBox::currentIndexChanged, this, &TForm1::OnOutputFormatChanged);
  connect(ComboOutputFormat, &DropDownCombo::droppingDown, this, [this] {
    OnOutputFormatDropDown(Model);
    ComboOutputFormat->setMaxVisibleItems(std::max(1, Model.DropDownCount));
  });
  SyncFromModel();
}

void TForm1::SyncFromModel() {
  const Binding bindings[] = {
      {ComboOutputFormat, &Model.ComboOutputFormat},   {ComboVideoCodec, &Model.ComboVideoCodec},
      {ComboVideoSize, &Model.ComboVideoSize},         {ComboVideoBitrate, &Model.ComboVideoBitrate},
      {ComboVideoFramerate, &Model.ComboVideoFramerate}, {ComboAudioCodec, &Model.ComboAudioCodec},
      {ComboAudioBitrate, &Model.ComboAudioBitrate},   {ComboAudioChannels, &Model.ComboAudioChannels},
      {ComboSamplingRate, &Model.ComboSamplingRate},   {ComboAspectRatio, &Model.ComboAspectRatio}};
  Syncing = true;
  for (const Binding& b : bindings) {
    QStringList items;
    for (const std::string& e : b.list->entries) items << QString::fromStdString(e);
    bool same = b.combo->count() == items.size();
    for (int i = 0; same && i < items.size(); ++i) same = b.combo->itemText(i) == items[i];
    if (!same) {
      b.combo->clear();
      b.combo->addItems(items);
    }
    b.combo->setCurrentIndex(b.list->selected);
  }
  ComboOutputFormat->setMaxVisibleItems(std::max(1, Model.DropDownCount));
  Syncing = false;
}

void TForm1::OnOutputFormatChanged(int index) {
  if (Syncing) return;
  Model.ComboOutputFormat.set_index(index);
  OnOutputFormatChange(Model);
  SyncFromModel();
}

void TForm1::SetDropDownCount(int rows) {
  Model.DropDownCount = rows;
  ComboOutputFormat->setMaxVisibleItems(std::max(1, rows));
}

void TForm1::WriteOutputColumn(const std::string& ext) {
  const QString text = QString::fromStdString(ext);
  for (int i = 0; i < ListView1->topLevelItemCount(); ++i) ListView1->topLevelItem(i)->setText(colOutput, text);
}

// ---- start-up -------------------------------------------------------------------

bool TForm1::FormCreate(const QString& library_folder) {
  // The original adjusts the font to "Segoe UI" on newer Windows; there is no
  // such adjustment on Linux, the desktop's font is used as it is.
  OpenDialog1->setFileMode(QFileDialog::ExistingFiles);
  OpenDialog1->setOption(QFileDialog::HideNameFilterDetails, true);
  OpenDialog1->setOption(QFileDialog::ReadOnly, false);
  OpenDialog1->setSizeGripEnabled(true);
  OpenDialog1->setNameFilters(NameFilters(QString::fromLatin1(OpenFileFilter)));

  if (!Converter_->LoadAVLib(QFile::encodeName(library_folder).toStdString(), 1)) {
    ShowInformation(nullptr, QStringLiteral("Some files are missing. Please re-install this software"));
    return false;
  }

  setWindowTitle(QStringLiteral("Klaventa"));
  TrackBar1->blockSignals(true);
  TrackBar1->setValue(5);
  TrackBar1->blockSignals(false);
  TrackBar1Change();

  FillComboOutputFormat(Model);
  Model.DropDownCount = 25;
  Model.ComboAspectRatio.fill({"Original", "4:3 (Standard)", "16:9 (Wide Screen)"});
  Model.ComboAspectRatio.set_index(0);
  SyncFromModel();
  ComboLetterBox->clear();
  ComboLetterBox->addItems({QStringLiteral("None"), QStringLiteral("LetterBox")});
  ComboLetterBox->setCurrentIndex(0);
  TimerConvertAgain->stop();
  return true;
}

void TForm1::CreateDialogs() {
  if (!FormAbout_) FormAbout_ = new TFormAbout(this);
  if (!Form4_) {
    Form4_ = new TForm4(this);
    Model.DropDownItemsText = [this] { return Form4_->SpinEdit1->text().toStdString(); };
  }
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (FirstShown) return;
  FirstShown = true;
  if (QScreen* screen = this->screen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
  }
  OnOutputFormatChange(Model);
  SyncFromModel();
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (FileBusy) {
    event->ignore();
    return;
  }
  DetachConverterEvents();
  Converter_->StopConvert();
  if (Form4_) {
    try {
      Form4_->SaveSettings();
    } catch (...) {
    }
    Form4_->close();
  }
  if (FormAbout_) FormAbout_->close();
  event->accept();
}

void TForm1::DetachConverterEvents() {
  if (!Converter_) return;
  std::lock_guard lock(Converter_->Lock());
  Converter_->OnBeforeHook = nullptr;
  Converter_->OnCustomHook = nullptr;
  Converter_->OnLog = nullptr;
  Converter_->OnProgress = nullptr;
  Converter_->OnTerminate = nullptr;
}

// ---- small helpers --------------------------------------------------------------

QTreeWidgetItem* TForm1::Row(int row) const {
  if (row < 0 || row >= ListView1->topLevelItemCount()) return nullptr;
  return ListView1->topLevelItem(row);
}

void TForm1::SetCell(int row, int column, const QString& text) {
  if (QTreeWidgetItem* item = Row(row)) item->setText(column, text);
}

void TForm1::ClearProgressCells() {
  for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
    ListView1->topLevelItem(i)->setText(colProgress, QString());
    ListView1->topLevelItem(i)->setText(colFrames, QString());
  }
}

void TForm1::SetProgressBar(int value) {
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setValue(std::clamp(value, 0, 100));
}

void TForm1::TrackBar1Change() {
  const int pos = std::clamp(TrackBar1->value(), 0, 10);
  LabelVolume->setText(QStringLiteral("%1%").arg(pos * 20));
  VolumeValue = kVolumeFactors[pos];
}

// ---- commands -------------------------------------------------------------------

void TForm1::ButtonRemoveClick() {
  if (AddingFiles) return;
  const QList<QTreeWidgetItem*> selected = ListView1->selectedItems();
  for (QTreeWidgetItem* item : selected) delete item;
}

void TForm1::ButtonClearClick() {
  if (AddingFiles || FileBusy) return;
  Converter_->ClearTasks();
  ListView1->clear();
}

void TForm1::CheckAllItems(bool checked) {
  for (int i = 0; i < ListView1->topLevelItemCount(); ++i)
    ListView1->topLevelItem(i)->setCheckState(colFileName, checked ? Qt::Checked : Qt::Unchecked);
}

void TForm1::ButtonBrowseForFolderClick() {
  if (FileBusy) return;
  const QString folder = BrowseForFolder(this, QStringLiteral("Choose the required output directory below :"),
                                         EditOutputFolder->text().trimmed());
  if (!folder.isEmpty()) EditOutputFolder->setText(QDir::toNativeSeparators(folder));
}

void TForm1::ShowAdditionalOptions() {
  if (!Form4_) return;
  Form4_->show();
  Form4_->raise();
  Form4_->activateWindow();
}

void TForm1::OpenHelpFile() {
  OpenUrl(QUrl::fromLocalFile(HelpFilePath(QCoreApplication::applicationDirPath())));
}

void TForm1::ShowAbout() {
  if (FormAbout_) FormAbout_->exec();
}

void TForm1::VisitWebsite() { OpenUrl(QUrl(QString::fromLatin1(TFormAbout::WebsiteAddress))); }

void TForm1::DisableControls() {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ButtonAddFile, ButtonClear, ButtonRemove, ButtonConvert, ComboOutputFormat, ComboVideoCodec,
           ComboVideoSize, ComboVideoBitrate, ComboVideoFramerate, ComboAudioCodec, ComboAudioBitrate,
           ComboAudioChannels, ComboSamplingRate, TrackBar1, ComboAspectRatio, ComboLetterBox})
    w->setEnabled(false);
  PopupEnabled = false;
  for (QMenu* m : {MenuFile, MenuOptions, MenuHelp}) m->menuAction()->setEnabled(false);
}

void TForm1::EnableControls() {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ButtonAddFile, ButtonClear, ButtonRemove, ButtonConvert, ComboOutputFormat, ComboVideoCodec,
           ComboVideoSize, ComboVideoBitrate, ComboVideoFramerate, ComboAudioCodec, ComboAudioBitrate,
           ComboAudioChannels, ComboSamplingRate, TrackBar1, ComboAspectRatio, ComboLetterBox})
    w->setEnabled(true);
  PopupEnabled = true;
  for (QMenu* m : {MenuFile, MenuOptions, MenuHelp}) m->menuAction()->setEnabled(true);
}

// ---- conversion sequence ----------------------------------------------------------

void TForm1::ButtonConvertClick() {
  if (AddingFiles || FileBusy) return;
  ClearProgressCells();
  if (ListView1->topLevelItemCount() == 0) {
    ShowInformation(this, QStringLiteral("Please Add Files To Convert!"));
    return;
  }
  if (EditOutputFolder->text().isEmpty()) {
    ShowInformation(this, QStringLiteral("Please select an output folder!"));
    ButtonBrowseForFolderClick();
    return;
  }
  const QString folder = EditOutputFolder->text().trimmed();
  if (!QFileInfo(folder).isDir()) {
    ShowInformation(this, QStringLiteral("The output folder \"") + EditOutputFolder->text() +
                              QStringLiteral("\"\n\rdoes not exist or has been deleted!\n\r"
                                             "Please choose a new output folder."));
    ButtonBrowseForFolderClick();
    return;
  }
  // A batch stopped a moment ago may still be closing its output: let it end
  // before the flags of the new sequence are set.
  Converter_->ClearTasks();
  ++Generation;
  FileBusy = true;
  TimerConvertAgain->start();
  StopRequested = false;
  DisableControls();
  CurrentRow = -1;
  ConvertNextFile();
}

QString TForm1::MakeUniqueFileName(const QString& path, const QString& ext) {
  const QFileInfo info(path);
  const QString name = info.fileName();
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  const QString base = path.left(path.size() - name.size()) + (dot < 0 ? name : name.left(dot));
  if (!QFileInfo::exists(base + ext)) return base + ext;
  for (int n = 1;; ++n) {
    const QString candidate = base + QLatin1Char('-') + QString::number(n) + ext;
    if (!QFileInfo::exists(candidate)) return candidate;
  }
}

QString TForm1::AspectFromVideoSize(const QString& cell) {
  QString size = cell.trimmed();
  if (size.isEmpty()) size = QStringLiteral("640x480");
  const int x = size.indexOf(QLatin1Char('x'));
  bool ok_w = false, ok_h = false;
  const double w = x < 0 ? 0 : QLocale::c().toDouble(size.left(x).trimmed(), &ok_w);
  const double h = x < 0 ? 0 : QLocale::c().toDouble(size.mid(x + 1).trimmed(), &ok_h);
  if (!ok_w || !ok_h || !(w > 0) || !(h > 0) || !std::isfinite(w / h)) return QStringLiteral("1.3333");
  // Four decimals, shortest form, '.' as the engine reads it.
  const double ratio = std::nearbyint(w / h * 10000.0) / 10000.0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", ratio);
  QString text = QString::fromLatin1(buf);
  while (text.endsWith(QLatin1Char('0'))) text.chop(1);
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  return text;
}

void TForm1::ConvertNextFile() {
  Converter_->ClearTasks();
  SetProgressBar(0);
  const QString ext = QLatin1Char('.') + QString::fromStdString(Model.OutputExt).toLower();
  IsLastRow = false;
  SequenceDone = false;

  const int count = ListView1->topLevelItemCount();
  ++CurrentRow;
  while (CurrentRow < count - 1 && Row(CurrentRow)->checkState(colFileName) != Qt::Checked) ++CurrentRow;
  if (CurrentRow >= count) {  // the list lost its rows: nothing more to do
    FileBusy = false;
    SequenceDone = true;
    return;
  }
  IsLastRow = CurrentRow == count - 1;
  ActiveRow = CurrentRow;

  if (Row(CurrentRow)->checkState(colFileName) != Qt::Checked) {
    FileBusy = false;
  } else {
    try {
      const QString caption = Row(CurrentRow)->text(colFileName);
      // Linux names may end in blanks: trim only a caption that names no file.
      const QString input = QFileInfo::exists(caption) ? caption : caption.trimmed();
      QString folder = EditOutputFolder->text().trimmed();
      if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
      const QString name = QFileInfo(input).fileName();
      QString output;
      if (Form4_ && Form4_->CheckBoxOverWrite->isChecked())
        output = folder + change_ext(name, ext);
      else
        output = MakeUniqueFileName(folder + name, ext);

      TInputOptions in;
      in.FileName = QFile::encodeName(input).toStdString();
      in.StartTime = 0;
      const int task = Converter_->AddTask(in.FileName, &in);
      if (task < 0) {
        SetCell(CurrentRow, colProgress, QStringLiteral("Fail"));
        if (!IsLastRow) {
          IdleTicks = 0;
          FileBusy = false;
          return;
        }
        TimerConvertAgain->stop();
        ShowInformation(this, QStringLiteral("All Conversions Completed"));
        Converter_->StopConvert();
        SetProgressBar(0);
        EnableControls();
        FileBusy = false;
        SequenceDone = true;
        return;
      }

      CurrentOutputOptions = TOutputOptions();
      ApplyProfile(Model, CurrentOutputOptions, CurrentRow);
      CurrentOutputOptions.AudioVolume = VolumeValue;
      switch (ComboAspectRatio->currentIndex()) {
        case 1: CurrentOutputOptions.FrameAspectRatio = "4:3"; break;
        case 2: CurrentOutputOptions.FrameAspectRatio = "16:9"; break;
        default:
          CurrentOutputOptions.FrameAspectRatio =
              AspectFromVideoSize(Row(CurrentRow)->text(colVideoSize)).toStdString();
          break;
      }
      if (!Converter_->SetOutputFile(task, QFile::encodeName(output).toStdString(), &CurrentOutputOptions)) {
        SetCell(CurrentRow, colProgress, QStringLiteral("Fail"));
        Converter_->RemoveTask(task);
        IdleTicks = 0;
        FileBusy = false;
      }
    } catch (const std::exception&) {
      ShowInformation(this, QStringLiteral("Fail to add file to list!"));
      // A task without its output would only fail: drop it and go on as
      // with an output that cannot be set.
      Converter_->ClearTasks();
      SetCell(CurrentRow, colProgress, QStringLiteral("Fail"));
      IdleTicks = 0;
      FileBusy = false;
    }
  }

  try {
    Converter_->StartConvert(1);
  } catch (const std::exception&) {
    Converter_->StopConvert();
    EnableControls();
  }
  if (IsLastRow) SequenceDone = true;
}

void TForm1::TimerConvertAgainTimer() {
  if (FileBusy) return;
  if (SequenceDone) {
    TimerConvertAgain->stop();
    Converter_->ClearTasks();
    ShowInformation(this, QStringLiteral("All Conversions Completed"));
    SetProgressBar(0);
    EnableControls();
    FileBusy = false;
    return;
  }
  if (++IdleTicks < 2) return;
  IdleTicks = 0;
  FileBusy = true;
  ConvertNextFile();
}

void TForm1::ButtonStopConvertClick() {
  if (FileBusy) {
    Converter_->PauseConvert();
    const auto answer = ShowMessage(this, QMessageBox::Question, QStringLiteral("Confirmation"),
                                    QStringLiteral("Stop all conversions?"), QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes) {
      Converter_->ResumeConvert();
      return;
    }
    StopRequested = true;
  }
  SequenceDone = true;
  TimerConvertAgain->stop();
  Converter_->StopConvert();
  SetProgressBar(0);
  EnableControls();
  FileBusy = false;
}

// ---- component events (worker thread, component lock held) ----------------------------

void TForm1::ConverterProgress(int, int AFrameNumber, int, int ACurrentDuration, float, float, int64_t ACurrentSize,
                               int ATotalOutputDuration) {
  const int row = ActiveRow;
  const unsigned gen = Generation;
  QMetaObject::invokeMethod(
      this,
      [this, row, gen, AFrameNumber, ACurrentDuration, ACurrentSize, ATotalOutputDuration] {
        if (gen != Generation) return;
        QTreeWidgetItem* item = Row(row);
        if (item) ListView1->scrollToItem(item);
        const QString frames = AFrameNumber == -1 ? QStringLiteral(" ") : QString::number(AFrameNumber);
        if (ATotalOutputDuration > 0) {
          const int64_t p = static_cast<int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration;
          SetCell(row, colProgress, QString::number(std::min<int64_t>(p, 100)) + QLatin1Char('%'));
          SetProgressBar(static_cast<int>(std::clamp<int64_t>(p, 0, 100)));
        } else {
          // The total is not known: no percentage, the bar shows the frames.
          SetCell(row, colProgress, QString());
          ProgressBar1->setValue(0);
          ProgressBar1->setFormat(QStringLiteral("%1 frames").arg(AFrameNumber < 0 ? 0 : AFrameNumber));
          ProgressBar1->setTextVisible(true);
        }
        StatusPanels[1]->setText(QStringLiteral("File Size : ") + QString::number(ACurrentSize) +
                                 QStringLiteral(" Bytes"));
        SetCell(row, colFrames, frames);
      },
      Qt::QueuedConnection);
}

void TForm1::ConverterTerminate(int AIndex, bool, bool AException, const std::string&) {
  FileBusy = false;
  const unsigned gen = Generation;
  if (AIndex >= 0) {
    const int row = ActiveRow;
    const QString result = AException       ? QStringLiteral("Fail")
                           : StopRequested ? QStringLiteral("Abort")
                                           : QStringLiteral("Done");
    QMetaObject::invokeMethod(
        this,
        [this, row, gen, result] {
          if (gen == Generation) SetCell(row, colProgress, result);
        },
        Qt::QueuedConnection);
  } else if (SequenceDone) {
    QMetaObject::invokeMethod(
        this,
        [this, gen] {
          if (gen == Generation) SetProgressBar(0);
        },
        Qt::QueuedConnection);
    FileBusy = false;
  }
}

}  // namespace klaventa::gui
