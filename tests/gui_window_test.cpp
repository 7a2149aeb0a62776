// The desktop window driven on the offscreen platform: controls, file intake,
// profiles, the conversion sequence with its results, stopping, settings,
// dialogs. Outputs are read back from disk.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "binding/loader.h"
#include "frontend/about.h"
#include "frontend/additional_options.h"
#include "frontend/mainwindow.h"
#include "frontend/shell.h"
#include "frontend/startup.h"
#include "frontend/widgets.h"
#include "media/testmedia.h"
#include "gui_support.h"

using namespace klaventa::gui;

namespace {

constexpr int kWait = 60000;  // ms; conversions of the small clips take well under a second

// ---------------------------------------------------------------- application

[[maybe_unused]] const auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment(true));

// ---------------------------------------------------------------- media

std::string small_clip() {
  testmedia::ClipSpec spec;
  spec.width = 160;
  spec.height = 120;
  spec.seconds = 1.0;
  spec.audio_codec = "pcm_s16le";
  return testmedia::make(spec);
}

// Long enough to be stopped half way.
std::string long_clip() {
  testmedia::ClipSpec spec;
  spec.width = 160;
  spec.height = 120;
  spec.seconds = 30.0;
  spec.audio_codec = "pcm_s16le";
  spec.sample_rate = 22050;
  spec.channels = 1;
  return testmedia::make(spec);
}

QString q(const std::string& s) { return QString::fromStdString(s); }

// ---------------------------------------------------------------- fixture

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(settings_dir_.isValid());
    ASSERT_TRUE(out_dir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir_.path());
    SetMessageHandler([this](const MessageRequest& r) {
      messages_.push_back(r);
      return answer_ ? answer_(r) : QMessageBox::Ok;
    });
    SetUrlHandler([this](const QUrl& url) {
      urls_.push_back(url);
      return true;
    });
    SetFolderHandler([this](const QString& caption, const QString&) {
      folder_captions_ << caption;
      return browse_result_;
    });
    SetOpenFilesHandler([this] { return open_files_; });
  }

  void TearDown() override {
    if (w_) {
      if (w_->IsFileBusy()) {
        answer_ = [](const MessageRequest&) { return QMessageBox::Yes; };
        w_->ButtonStopConvertClick();
      }
      w_.reset();
    }
    SetMessageHandler({});
    SetUrlHandler({});
    SetFolderHandler({});
    SetOpenFilesHandler({});
  }

  // Starts the application's windows as the program does and shows the main one.
  TForm1* Start() {
    w_ = StartKlaventa(settings_dir_.filePath(QStringLiteral("no Common Files here")));
    if (!w_) return nullptr;
    w_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    return w_.get();
  }

  // Closes the window as the user does (saves the settings) and drops it.
  void Restart() {
    ASSERT_TRUE(w_->close());
    w_.reset();
    Start();
  }

  QTreeWidget* list() const { return w_->ListView1; }
  int rows() const { return list()->topLevelItemCount(); }
  QString cell(int row, int col) const { return list()->topLevelItem(row)->text(col); }
  bool ticked(int row) const { return list()->topLevelItem(row)->checkState(0) == Qt::Checked; }
  void tick(int row, bool on) { list()->topLevelItem(row)->setCheckState(0, on ? Qt::Checked : Qt::Unchecked); }

  void SelectFormat(const QString& text) {
    const int i = w_->ComboOutputFormat->findText(text);
    ASSERT_GE(i, 0) << text.toStdString();
    w_->ComboOutputFormat->setCurrentIndex(i);
  }

  int CountMessages(const QString& text) const {
    int n = 0;
    for (const MessageRequest& m : messages_) n += m.text == text;
    return n;
  }

  // Converts the rows and waits for the end of the sequence (controls back on).
  bool ConvertAll() {
    w_->EditOutputFolder->setText(out_dir_.path());
    const int before = CountMessages(QStringLiteral("All Conversions Completed"));
    w_->ButtonConvertClick();
    return QTest::qWaitFor(
        [&] {
          return !w_->IsFileBusy() && CountMessages(QStringLiteral("All Conversions Completed")) > before &&
                 w_->ButtonConvert->isEnabled();
        },
        kWait);
  }

  QStringList OutputFiles() const {
    return QDir(out_dir_.path()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
  }
  std::string OutPath(const QString& name) const { return out_dir_.filePath(name).toStdString(); }

  QTemporaryDir settings_dir_;
  QTemporaryDir out_dir_;
  std::unique_ptr<TForm1> w_;
  std::vector<MessageRequest> messages_;
  std::function<QMessageBox::StandardButton(const MessageRequest&)> answer_;
  std::vector<QUrl> urls_;
  QStringList folder_captions_;
  QString browse_result_;
  QStringList open_files_;
};

// ---------------------------------------------------------------- controls

TEST_F(GuiTest, WindowShowsItsControlsAsDesigned) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->windowTitle(), "Klaventa");
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  EXPECT_EQ(w->width(), 767);
  EXPECT_EQ(w->height() - w->menuBar()->height(), 514);

  struct Button {
    const char* name;
    const char* caption;
    const char* hint;
  };
  const Button buttons[] = {{"ButtonAddFile", "Add Files", "Add Files to Convert"},
                            {"ButtonRemove", "Remove", "Remove A Single File From List"},
                            {"ButtonClear", "Clear All ", "Clear All Files Listed"},
                            {"ButtonStopConvert", "Stop Convert", "Stop Conversion"},
                            {"ButtonConvert", "Convert Now !", "Start Conversion"},
                            {"ButtonBrowseForFolder", "", "Browse For Folder"}};
  for (const Button& b : buttons) {
    auto* button = w->findChild<QToolButton*>(b.name);
    ASSERT_TRUE(button) << b.name;
    if (*b.caption) {
      EXPECT_EQ(button->text(), b.caption) << b.name;
    }
    EXPECT_EQ(button->toolTip(), b.hint) << b.name;
  }
  EXPECT_EQ(w->findChild<QPushButton*>("ButtonStopSmall")->text(), "Stop");
  EXPECT_EQ(w->ComboLetterBox->toolTip(), "Add a letterbox to keep video aspect ratio");

  // The list: check boxes, whole rows, the seven columns with their widths.
  const char* headers[] = {"Video File Name", "Video Size", "FrameRate", "Duration", "Output", "Progress", "Frames"};
  const int widths[] = {300, 90, 90, 60, 65, 57, 60};
  ASSERT_EQ(w->findChild<QTreeWidget*>("ListView1"), w->ListView1);
  for (int c = 0; c < 7; ++c) {
    EXPECT_EQ(w->ListView1->headerItem()->text(c), headers[c]);
    EXPECT_EQ(w->ListView1->columnWidth(c), widths[c]) << headers[c];
  }
  EXPECT_TRUE(w->ListView1->isColumnHidden(7));
  EXPECT_EQ(w->ListView1->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(w->ListView1->editTriggers(), QAbstractItemView::NoEditTriggers);

  // Lists bound to the profile model, filled at start-up and on first show.
  EXPECT_EQ(w->ComboOutputFormat->count(), 33);
  EXPECT_EQ(w->ComboOutputFormat->currentText(), "PSP Video (*.mp4)");
  EXPECT_EQ(w->ComboOutputFormat->itemText(3), q(kFormatSeparator));
  EXPECT_EQ(w->Profile().OutputExt, "MP4");
  for (QComboBox* c : {w->ComboVideoCodec, w->ComboVideoSize, w->ComboVideoBitrate, w->ComboVideoFramerate,
                       w->ComboAudioCodec, w->ComboAudioBitrate, w->ComboAudioChannels, w->ComboSamplingRate}) {
    EXPECT_GT(c->count(), 0) << c->objectName().toStdString();
    EXPECT_FALSE(c->isEditable());
  }
  EXPECT_EQ(w->ComboVideoCodec->currentText(), q(w->Profile().ComboVideoCodec.text()));
  const QStringList aspect = {"Original", "4:3 (Standard)", "16:9 (Wide Screen)"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(w->ComboAspectRatio->itemText(i), aspect[i]);
  EXPECT_EQ(w->ComboAspectRatio->currentIndex(), 0);
  EXPECT_EQ(w->ComboLetterBox->itemText(0), "None");
  EXPECT_EQ(w->ComboLetterBox->itemText(1), "LetterBox");
  EXPECT_EQ(w->ComboLetterBox->currentIndex(), 0);

  EXPECT_EQ(w->TrackBar1->minimum(), 0);
  EXPECT_EQ(w->TrackBar1->maximum(), 10);
  EXPECT_EQ(w->TrackBar1->value(), 5);
  EXPECT_EQ(w->LabelVolume->text(), "100%");
  EXPECT_EQ(w->ProgressBar1->maximum(), 100);
  EXPECT_TRUE(w->EditOutputFolder->isReadOnly());
  EXPECT_FALSE(w->EditOutputFolder->isEnabled());

  EXPECT_EQ(w->StatusPanels[0]->text(), "Ready");
  EXPECT_EQ(w->StatusPanels[0]->width(), 150);
  EXPECT_EQ(w->StatusPanels[1]->width(), 300);
  EXPECT_EQ(w->StatusPanels[2]->width(), 50);

  EXPECT_EQ(w->TimerConvertAgain->interval(), 100);
  EXPECT_FALSE(w->TimerConvertAgain->isActive());

  auto texts = [](QMenu* m) {
    QStringList t;
    for (QAction* a : m->actions()) t << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return t;
  };
  EXPECT_EQ(w->MenuFile->title(), "File");
  EXPECT_EQ(texts(w->MenuFile), QStringList({"Add Files", "-", "Convert", "-", "Exit"}));
  EXPECT_EQ(w->MenuOptions->title(), "Options");
  EXPECT_EQ(texts(w->MenuOptions), QStringList({"Set Additional Options"}));
  EXPECT_EQ(w->MenuHelp->title(), "Help");
  EXPECT_EQ(texts(w->MenuHelp), QStringList({"Open Help File", "-", "Visit Morvello Website", "-", "About"}));
  EXPECT_EQ(texts(w->PopupListView1),
            QStringList({"Check All Items", "Uncheck All Items", "-", "Remove Selected Item", "Clear All Items"}));
}

TEST_F(GuiTest, VolumePositionsGiveTheirFactors) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  struct Case {
    int position;
    const char* label;
    int factor;
  };
  // 100% is the engine's "unchanged" 256; 0% is 1, not silence by zero.
  const Case cases[] = {{0, "0%", 1},      {1, "20%", 50},    {4, "80%", 200}, {5, "100%", 256},
                        {6, "120%", 300}, {9, "180%", 450}, {10, "200%", 600}};
  for (const Case& c : cases) {
    w->TrackBar1->setValue(c.position);
    EXPECT_EQ(w->LabelVolume->text(), c.label);
    EXPECT_EQ(w->VolumeValueNow(), c.factor) << c.position;
  }
}

// ---------------------------------------------------------------- intake

TEST_F(GuiTest, IntakeDescribesEachFile) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  const QString video = q(small_clip());
  const QString mp3 = q(testmedia::path(testmedia::Clip::Mp3Only));
  const QString text = q(testmedia::path(testmedia::Clip::TextAsAvi));
  w->AddFiles({video, mp3, text, video});
  ASSERT_EQ(rows(), 4);

  struct Row {
    QString caption, size, rate, duration, output, progress;
  };
  const Row expected[] = {{video, "160x120", "25", "00:00:01", "MP4", ""},
                          {mp3, " ", " ", "00:00:02", "MP4", ""},
                          {text, "", "", "", "", "Error"},
                          {video, "160x120", "25", "00:00:01", "MP4", ""}};
  for (int r = 0; r < 4; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(cell(r, colFileName), expected[r].caption);
    EXPECT_EQ(cell(r, colVideoSize), expected[r].size);
    EXPECT_EQ(cell(r, colFrameRate), expected[r].rate);
    EXPECT_EQ(cell(r, colDuration), expected[r].duration);
    EXPECT_EQ(cell(r, colOutput), expected[r].output);
    EXPECT_EQ(cell(r, colProgress), expected[r].progress);
    EXPECT_EQ(cell(r, colFrames), "");
    EXPECT_TRUE(ticked(r));
  }
  EXPECT_EQ(list()->topLevelItem(0)->textAlignment(colVideoSize), Qt::AlignCenter);
  EXPECT_FALSE(w->IsAddingFiles());
}

TEST_F(GuiTest, AddFilesClearsResultsAndCancelAddsNothing) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->AddFiles({q(testmedia::path(testmedia::Clip::TextAsAvi))});
  ASSERT_EQ(cell(0, colProgress), "Error");
  open_files_ = {};  // the dialog is cancelled
  w->ButtonAddFileClick();
  EXPECT_EQ(rows(), 1);
  EXPECT_EQ(cell(0, colProgress), "") << "cleared before the dialog opened";
  open_files_ = {q(small_clip())};
  w->ButtonAddFileClick();
  EXPECT_EQ(rows(), 2);
  EXPECT_EQ(cell(1, colVideoSize), "160x120");
}

TEST_F(GuiTest, FilesDroppedOntoTheListAreAdded) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  const QString video = q(small_clip());
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(video), QUrl(QStringLiteral("https://example.org/remote.avi"))});
  QWidget* viewport = w->ListView1->viewport();
  QMimeData remote_only;
  remote_only.setUrls({QUrl(QStringLiteral("https://example.org/remote.avi"))});
  QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &remote_only, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &refused);
  EXPECT_FALSE(refused.isAccepted());
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(viewport, &drop);
  ASSERT_TRUE(QTest::qWaitFor([&] { return rows() == 1; }, 5000));
  EXPECT_EQ(cell(0, colFileName), video);
  EXPECT_EQ(cell(0, colVideoSize), "160x120");
}

TEST(GuiFormat, DurationAndFrameRateTexts) {
  struct Duration {
    double seconds;
    const char* text;
  };
  for (const Duration& d : {Duration{3725, "01:02:05"}, Duration{59, "00:00:59"}, Duration{360000, "100:00:00"},
                            Duration{0, "00:00:00"}, Duration{60, "00:01:00"}})
    EXPECT_EQ(TForm1::FormatDuration(QLatin1Char(':'), d.seconds), d.text) << d.seconds;
  // No duration in the container: the probe's missing value gives a minus sign ("Unknown").
  EXPECT_TRUE(TForm1::FormatDuration(QLatin1Char(':'), static_cast<double>(INT64_MIN / 1000000))
                  .contains(QLatin1Char('-')));

  struct Rate {
    int num, den;
    const char* text;
  };
  for (const Rate& r : {Rate{30000, 1001, "29.97"}, Rate{25, 1, "25"}, Rate{24000, 1001, "23.98"},
                        Rate{15, 1, "15"}, Rate{0, 0, " "}})
    EXPECT_EQ(TForm1::FrameRateText(r.num, r.den), r.text) << r.num << "/" << r.den;
}

TEST(GuiFormat, AspectFromVideoSizeCell) {
  struct Case {
    const char* cell;
    const char* aspect;
  };
  for (const Case& c : {Case{"720x480", "1.5"}, Case{"640x480", "1.3333"}, Case{"1280x720", "1.7778"},
                        Case{"160x120", "1.3333"}, Case{" ", "1.3333"}, Case{"", "1.3333"}, Case{"abc", "1.3333"},
                        Case{"320x0", "1.3333"}, Case{" 352x288 ", "1.2222"}})
    EXPECT_EQ(TForm1::AspectFromVideoSize(QString::fromLatin1(c.cell)), c.aspect) << "'" << c.cell << "'";
}

TEST(GuiFormat, UniqueFileNames) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString base = dir.filePath(QStringLiteral("clip.avi"));
  EXPECT_EQ(TForm1::MakeUniqueFileName(base, ".mp4"), dir.filePath("clip.mp4"));
  QFile(dir.filePath("clip.mp4")).open(QIODevice::WriteOnly);
  EXPECT_EQ(TForm1::MakeUniqueFileName(base, ".mp4"), dir.filePath("clip-1.mp4"));
  QFile(dir.filePath("clip-1.mp4")).open(QIODevice::WriteOnly);
  EXPECT_EQ(TForm1::MakeUniqueFileName(base, ".mp4"), dir.filePath("clip-2.mp4"));
  // Only the last extension goes; a name without one keeps its whole name.
  EXPECT_EQ(TForm1::MakeUniqueFileName(dir.filePath("a.b.avi"), ".mpg"), dir.filePath("a.b.mpg"));
  EXPECT_EQ(TForm1::MakeUniqueFileName(dir.filePath("movie"), ".mpg"), dir.filePath("movie.mpg"));
}

// ---------------------------------------------------------------- profiles

TEST_F(GuiTest, ProfileChoiceRewritesOutputColumnAndRefusesSeparators) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->AddFiles({q(small_clip()), q(testmedia::path(testmedia::Clip::Mp3Only))});
  SelectFormat("AVI - DivX Video (*.avi)");
  EXPECT_EQ(cell(0, colOutput), "AVI");
  EXPECT_EQ(cell(1, colOutput), "AVI");
  const QString divx_codec = w->ComboVideoCodec->currentText();
  const int divx_index = w->ComboOutputFormat->currentIndex();

  // A divider line is refused: selection, lists and column stay.
  w->ComboOutputFormat->setCurrentIndex(19);
  EXPECT_EQ(w->ComboOutputFormat->currentIndex(), divx_index);
  EXPECT_EQ(w->ComboVideoCodec->currentText(), divx_codec);
  EXPECT_EQ(w->Profile().OutputExt, "AVI");
  EXPECT_EQ(cell(0, colOutput), "AVI");

  SelectFormat("WMV - Windows Media Video (*.wmv)");
  EXPECT_EQ(cell(0, colOutput), "WMV");
  EXPECT_EQ(cell(1, colOutput), "WMV");
  // The combos show the model's lists.
  const SettingList& sizes = w->Profile().ComboVideoSize;
  ASSERT_EQ(w->ComboVideoSize->count(), sizes.count());
  for (int i = 0; i < sizes.count(); ++i) EXPECT_EQ(w->ComboVideoSize->itemText(i), q(sizes.entries[i]));
  EXPECT_EQ(w->ComboVideoSize->currentIndex(), sizes.selected);
}

TEST_F(GuiTest, ChosenSettingsReachTheOutput) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  SelectFormat("MP4 - MPEG4 Video (*.mp4)");
  const int size = w->ComboVideoSize->findText("176 x 144 (QCIF)");
  ASSERT_GE(size, 0);
  w->ComboVideoSize->setCurrentIndex(size);
  EXPECT_EQ(w->Profile().ComboVideoSize.text(), "176 x 144 (QCIF)");
  w->ComboAspectRatio->setCurrentIndex(1);
  w->TrackBar1->setValue(0);
  w->AddFiles({q(small_clip())});
  ASSERT_TRUE(ConvertAll());
  EXPECT_EQ(cell(0, colProgress), "Done");
  EXPECT_EQ(w->LastOutputOptions().FrameAspectRatio, "4:3");
  EXPECT_EQ(w->LastOutputOptions().AudioVolume, 1);

  ASSERT_EQ(OutputFiles().size(), 1);
  const testmedia::FileInfo info = testmedia::probe(OutPath(OutputFiles()[0]));
  ASSERT_TRUE(info.ok) << info.error;
  const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->width, 176);
  EXPECT_EQ(v->height, 144);
  const testmedia::StreamInfo* a = info.first(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(a);
  EXPECT_LT(a->peak_amplitude, 0.02) << "volume 0% is close to silence";
}

// ---------------------------------------------------------------- conversion

TEST_F(GuiTest, SequenceMarksDoneAndFailAndNamesOutputsUniquely) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  ASSERT_EQ(w->Profile().OutputExt, "MP4");
  const QString clip = q(testmedia::copy_to_temp(small_clip(), "clip.avi"));
  const QString broken = q(testmedia::path(testmedia::Clip::TextAsAvi));
  w->AddFiles({clip, broken, clip, clip});
  ASSERT_EQ(cell(1, colProgress), "Error");
  w->TrackBar1->setValue(5);
  ASSERT_TRUE(ConvertAll());

  EXPECT_EQ(cell(0, colProgress), "Done");
  EXPECT_EQ(cell(1, colProgress), "Fail");
  EXPECT_EQ(cell(2, colProgress), "Done");
  EXPECT_EQ(cell(3, colProgress), "Done");
  EXPECT_FALSE(cell(0, colFrames).isEmpty());
  EXPECT_EQ(CountMessages("All Conversions Completed"), 1);
  EXPECT_EQ(w->LastOutputOptions().AudioVolume, 256);
  EXPECT_EQ(OutputFiles(), QStringList({"clip-1.mp4", "clip-2.mp4", "clip.mp4"}));
  for (const QString& name : OutputFiles()) {
    const testmedia::FileInfo info = testmedia::probe(OutPath(name));
    ASSERT_TRUE(info.ok) << name.toStdString() << ": " << info.error;
    EXPECT_EQ(info.format, "mov,mp4,m4a,3gp,3g2,mj2");
    const testmedia::StreamInfo* v = info.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_TRUE(v);
    EXPECT_NEAR(v->frames_decoded, 30, 2) << "1 s at 29.97 fps";
    ASSERT_TRUE(info.first(AVMEDIA_TYPE_AUDIO));
    EXPECT_NEAR(info.duration_s, 1.0, 0.15);
  }
  // Back to idle: controls enabled, timer off, bar empty.
  EXPECT_TRUE(w->ComboOutputFormat->isEnabled());
  EXPECT_TRUE(w->MenuFile->menuAction()->isEnabled());
  EXPECT_FALSE(w->TimerConvertAgain->isActive());
  EXPECT_EQ(w->ProgressBar1->value(), 0);
}

TEST_F(GuiTest, UntickedMiddleAndLastRowsAreSkipped) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  const QString a = q(testmedia::copy_to_temp(small_clip(), "a.avi"));
  const QString b = q(testmedia::copy_to_temp(small_clip(), "b.avi"));
  const QString c = q(testmedia::copy_to_temp(small_clip(), "c.avi"));
  const QString d = q(testmedia::copy_to_temp(small_clip(), "d.avi"));
  w->AddFiles({a, b, c, d});
  tick(1, false);
  tick(3, false);
  ASSERT_TRUE(ConvertAll());
  EXPECT_EQ(cell(0, colProgress), "Done");
  EXPECT_EQ(cell(1, colProgress), "");
  EXPECT_EQ(cell(1, colFrames), "");
  EXPECT_EQ(cell(2, colProgress), "Done");
  EXPECT_EQ(cell(3, colProgress), "");
  EXPECT_EQ(cell(3, colFrames), "");
  EXPECT_EQ(CountMessages("All Conversions Completed"), 1);
  EXPECT_EQ(OutputFiles(), QStringList({"a.mp4", "c.mp4"}));
}

// A file that cannot be prepared is reported, marked "Fail", and the sequence
// goes on instead of waiting for a conversion that never starts.
TEST_F(GuiTest, FilePreparationErrorFailsTheRowAndMovesOn) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->AddFiles({q(testmedia::copy_to_temp(small_clip(), "x.avi")), q(testmedia::copy_to_temp(small_clip(), "y.avi"))});
  w->ComboSamplingRate->setCurrentIndex(-1);  // no sampling rate: the profile cannot be applied
  ASSERT_EQ(w->Profile().ComboSamplingRate.selected, -1);
  ASSERT_TRUE(ConvertAll());
  EXPECT_EQ(cell(0, colProgress), "Fail");
  EXPECT_EQ(cell(1, colProgress), "Fail");
  EXPECT_EQ(CountMessages("Fail to add file to list!"), 2);
  EXPECT_EQ(CountMessages("All Conversions Completed"), 1);
  EXPECT_TRUE(OutputFiles().isEmpty());
  EXPECT_EQ(w->Converter().Tasks().Count(), 0);
}

TEST_F(GuiTest, OverwriteReplacesAnExistingOutput) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  {
    QFile old(out_dir_.filePath("clip.mp4"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("not a movie");
  }
  w->Form4()->CheckBoxOverWrite->setChecked(true);
  w->AddFiles({q(testmedia::copy_to_temp(small_clip(), "clip.avi"))});
  ASSERT_TRUE(ConvertAll());
  EXPECT_EQ(cell(0, colProgress), "Done");
  EXPECT_EQ(OutputFiles(), QStringList({"clip.mp4"}));
  const testmedia::FileInfo info = testmedia::probe(OutPath("clip.mp4"));
  EXPECT_TRUE(info.ok) << info.error;
}

TEST_F(GuiTest, ConvertChecksListAndFolderFirst) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->ButtonConvertClick();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, "Please Add Files To Convert!");
  EXPECT_EQ(messages_[0].caption, "Information");
  EXPECT_EQ(messages_[0].icon, QMessageBox::Information);

  w->AddFiles({q(small_clip())});
  browse_result_ = out_dir_.path();
  w->ButtonConvertClick();
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[1].text, "Please select an output folder!");
  EXPECT_EQ(folder_captions_, QStringList({"Choose the required output directory below :"}));
  EXPECT_EQ(w->EditOutputFolder->text(), QDir::toNativeSeparators(out_dir_.path()));
  EXPECT_FALSE(w->IsFileBusy()) << "the browse does not start the conversion";

  const QString gone = out_dir_.filePath("gone");
  w->EditOutputFolder->setText(gone);
  browse_result_.clear();  // the browse is cancelled
  w->ButtonConvertClick();
  ASSERT_EQ(messages_.size(), 3u);
  EXPECT_EQ(messages_[2].text, "The output folder \"" + gone +
                                   "\"\n\rdoes not exist or has been deleted!\n\rPlease choose a new output folder.");
  EXPECT_EQ(messages_[2].caption, "Information");
  EXPECT_EQ(w->EditOutputFolder->text(), gone);
  EXPECT_FALSE(w->IsFileBusy());
  EXPECT_TRUE(OutputFiles().isEmpty());
}

TEST_F(GuiTest, StopAnsweredNoResumesAndYesAborts) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->Converter().SetProgressInterval(100);
  const QString longer = q(testmedia::copy_to_temp(long_clip(), "long.avi"));
  const QString other = q(testmedia::copy_to_temp(small_clip(), "other.avi"));
  w->AddFiles({longer, other});
  w->EditOutputFolder->setText(out_dir_.path());

  // No: the conversion waits while the question is up, then carries on.
  w->ButtonConvertClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !cell(0, colFrames).trimmed().isEmpty(); }, kWait));
  QString frames_at_question, frames_later;
  answer_ = [&](const MessageRequest& r) {
    QTest::qWait(200);  // progress already under way reaches the list
    frames_at_question = cell(0, colFrames);
    QTest::qWait(400);
    frames_later = cell(0, colFrames);
    return r.text == "Stop all conversions?" ? QMessageBox::No : QMessageBox::Ok;
  };
  w->ButtonStopConvertClick();
  ASSERT_FALSE(messages_.empty());
  EXPECT_EQ(messages_.back().text, "Stop all conversions?");
  EXPECT_EQ(messages_.back().caption, "Confirmation");
  EXPECT_EQ(messages_.back().icon, QMessageBox::Question);
  EXPECT_EQ(messages_.back().buttons, QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(frames_at_question, frames_later) << "paused while asking";
  EXPECT_TRUE(w->IsFileBusy());
  answer_ = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return CountMessages("All Conversions Completed") == 1; }, kWait));
  EXPECT_EQ(cell(0, colProgress), "Done");
  EXPECT_EQ(cell(1, colProgress), "Done");
  {
    const testmedia::FileInfo info = testmedia::probe(OutPath("long.mp4"), false);
    ASSERT_TRUE(info.ok) << info.error;
    EXPECT_NEAR(info.duration_s, 30.0, 0.5) << "resumed to the end";
  }

  // Yes: the running file ends as "Abort", the sequence ends without the completion message.
  QFile::remove(out_dir_.filePath("long.mp4"));
  QFile::remove(out_dir_.filePath("other.mp4"));
  const size_t before = messages_.size();
  w->ButtonConvertClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !cell(0, colFrames).trimmed().isEmpty(); }, kWait));
  answer_ = [](const MessageRequest&) { return QMessageBox::Yes; };
  w->ButtonStopConvertClick();
  answer_ = nullptr;
  EXPECT_FALSE(w->IsFileBusy());
  EXPECT_TRUE(w->ButtonConvert->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return cell(0, colProgress) == "Abort"; }, kWait));
  QTest::qWait(500);  // the idle timer would have moved on by now
  EXPECT_EQ(cell(1, colProgress), "");
  EXPECT_EQ(messages_.size(), before + 1) << "only the question";
  EXPECT_EQ(CountMessages("All Conversions Completed"), 1);
  w->Converter().ClearTasks();  // the stopped task has closed its output
  EXPECT_EQ(OutputFiles(), QStringList({"long.mp4"}));
  const testmedia::FileInfo info = testmedia::probe(OutPath("long.mp4"), false);
  ASSERT_TRUE(info.ok) << info.error;
  EXPECT_LT(info.duration_s, 29.0) << "stopped part way";
}

TEST_F(GuiTest, StopBetweenFilesEndsWithoutQuestion) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->AddFiles({q(testmedia::copy_to_temp(small_clip(), "one.avi")), q(testmedia::copy_to_temp(small_clip(), "two.avi"))});
  w->EditOutputFolder->setText(out_dir_.path());
  w->ButtonConvertClick();
  // Between the files: the first is done, the idle timer has not started the second.
  ASSERT_TRUE(QTest::qWaitFor([&] { return cell(0, colProgress) == "Done" && !w->IsFileBusy(); }, kWait));
  w->ButtonStopConvertClick();
  EXPECT_EQ(CountMessages("Stop all conversions?"), 0);
  QTest::qWait(400);
  EXPECT_EQ(cell(1, colProgress), "");
  EXPECT_EQ(CountMessages("All Conversions Completed"), 0);
  EXPECT_TRUE(w->ButtonConvert->isEnabled());
  EXPECT_FALSE(w->TimerConvertAgain->isActive());
}

TEST_F(GuiTest, ProgressWithoutKnownTotalShowsFramesOnly) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->AddFiles({q(small_clip())});
  struct Case {
    int frame, current, total;
    const char* progress;
    const char* frames;
    int bar;
  };
  const Case cases[] = {{10, 500, 1000, "50%", "10", 50},  {20, 1500, 1000, "100%", "20", 100},
                        {30, 700, 0, "", "30", 0},         {40, 800, -1, "", "40", 0},
                        {-1, 0, 1000, "0%", " ", 0}};
  ASSERT_TRUE(ConvertAll());  // row 0 is then the row of the last task
  // The handler is the worker's: it queues its widget work, the event loop runs it.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.total);
    w->ConverterProgress(0, c.frame, 0, c.current, 0, 0, 12345, c.total);
    QCoreApplication::processEvents();
    EXPECT_EQ(cell(0, colProgress), c.progress);
    EXPECT_EQ(cell(0, colFrames), c.frames);
    EXPECT_EQ(w->ProgressBar1->value(), c.bar);
    EXPECT_EQ(w->StatusPanels[1]->text(), "File Size : 12345 Bytes");
    if (c.total <= 0) {
      EXPECT_EQ(w->ProgressBar1->text(), QString::number(c.frame) + " frames");
    }
  }
}

TEST_F(GuiTest, CloseIsRefusedWhileConverting) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->Converter().SetProgressInterval(100);
  w->AddFiles({q(testmedia::copy_to_temp(long_clip(), "long.avi"))});
  w->EditOutputFolder->setText(out_dir_.path());
  w->ButtonConvertClick();
  ASSERT_TRUE(w->IsFileBusy());
  EXPECT_FALSE(w->close());
  EXPECT_TRUE(w->isVisible());
  EXPECT_TRUE(messages_.empty()) << "refused without a message";
  // While converting, the controls and the top menus are off.
  EXPECT_FALSE(w->ButtonAddFile->isEnabled());
  EXPECT_FALSE(w->ComboSamplingRate->isEnabled());
  EXPECT_FALSE(w->TrackBar1->isEnabled());
  EXPECT_FALSE(w->MenuHelp->menuAction()->isEnabled());
  EXPECT_TRUE(w->ButtonStopConvert->isEnabled());
  // "Add Files" and "Clear All " are ignored while busy.
  w->AddFiles({q(small_clip())});
  w->ButtonClearClick();
  EXPECT_EQ(rows(), 1);
  ASSERT_TRUE(QTest::qWaitFor([&] { return CountMessages("All Conversions Completed") == 1; }, kWait));
  EXPECT_TRUE(w->close());
}

// ---------------------------------------------------------------- list commands

TEST_F(GuiTest, ListCommands) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  const QString a = q(small_clip()), b = q(testmedia::path(testmedia::Clip::Mp3Only));
  w->AddFiles({a, b, a});
  w->CheckAllItems(false);
  for (int r = 0; r < 3; ++r) EXPECT_FALSE(ticked(r));
  w->CheckAllItems(true);
  for (int r = 0; r < 3; ++r) EXPECT_TRUE(ticked(r));
  list()->setCurrentItem(list()->topLevelItem(1));
  w->ButtonRemoveClick();
  ASSERT_EQ(rows(), 2);
  EXPECT_EQ(cell(1, colFileName), a);
  w->ButtonClearClick();
  EXPECT_EQ(rows(), 0);
}

// ---------------------------------------------------------------- settings

TEST_F(GuiTest, FirstStartUsesDefaultsAndStoresThem) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->EditOutputFolder->text(), "");
  EXPECT_EQ(w->ComboOutputFormat->currentIndex(), 0);
  EXPECT_FALSE(w->Form4()->CheckBoxOverWrite->isChecked());
  EXPECT_EQ(w->Form4()->SpinEdit1->value(), 27);
  EXPECT_EQ(w->ComboLetterBox->currentText(), "None");
  QSettings key(QSettings::NativeFormat, QSettings::UserScope, "Morvello", "Klaventa");
  EXPECT_TRUE(key.fileName().startsWith(settings_dir_.path()));
  for (const char* name : {"Output Folder", "ComboOutputFormat", "Overwrite", "DropDownItems", "LetterBox"})
    EXPECT_TRUE(key.contains(name)) << name;
  EXPECT_EQ(key.value("ComboOutputFormat").toInt(), 0);
  EXPECT_EQ(key.value("DropDownItems").toInt(), 27);
}

TEST_F(GuiTest, SettingsSurviveARestart) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  w->EditOutputFolder->setText(out_dir_.path());
  SelectFormat("MOV - QuickTime Video (*.mov)");
  w->Form4()->CheckBoxOverWrite->setChecked(true);
  w->Form4()->SpinEdit1->setValue(40);
  w->ComboLetterBox->setCurrentIndex(1);
  Restart();
  w = w_.get();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->EditOutputFolder->text(), out_dir_.path());
  EXPECT_EQ(w->ComboOutputFormat->currentText(), "MOV - QuickTime Video (*.mov)");
  EXPECT_EQ(w->Profile().OutputExt, "MOV") << "the first show makes it the current profile";
  EXPECT_TRUE(w->Form4()->CheckBoxOverWrite->isChecked());
  EXPECT_EQ(w->Form4()->SpinEdit1->value(), 40);
  EXPECT_EQ(w->ComboOutputFormat->maxVisibleItems(), 40);
  EXPECT_EQ(w->ComboLetterBox->currentIndex(), 1);
}

TEST_F(GuiTest, PartialOrOddStoredValues) {
  {
    QSettings key(QSettings::NativeFormat, QSettings::UserScope, "Morvello", "Klaventa");
    key.setValue("Output Folder", "/srv/videos");
    key.sync();
  }
  TForm1* w = Start();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->EditOutputFolder->text(), "/srv/videos");
  EXPECT_EQ(w->Form4()->SpinEdit1->value(), 27);
  {
    QSettings key(QSettings::NativeFormat, QSettings::UserScope, "Morvello", "Klaventa");
    EXPECT_EQ(key.value("Output Folder").toString(), "/srv/videos");
    EXPECT_EQ(key.value("ComboOutputFormat").toInt(), 0) << "written back after the failed read";
    EXPECT_EQ(key.value("Overwrite").toInt(), 0);
    EXPECT_EQ(key.value("DropDownItems").toInt(), 27);
    EXPECT_EQ(key.value("LetterBox").toInt(), 0);
    // Values outside the ranges and a separator position.
    key.setValue("ComboOutputFormat", 8);
    key.setValue("Overwrite", 5);
    key.setValue("DropDownItems", 10);
    key.setValue("LetterBox", -1);
    key.sync();
  }
  w_.reset();
  w = Start();
  ASSERT_TRUE(w);
  EXPECT_TRUE(w->Form4()->CheckBoxOverWrite->isChecked()) << "any non-zero value is true";
  EXPECT_EQ(w->Form4()->SpinEdit1->value(), 26);
  EXPECT_EQ(w->ComboOutputFormat->maxVisibleItems(), 26);
  EXPECT_EQ(w->ComboLetterBox->currentIndex(), 0);
  EXPECT_EQ(w->ComboOutputFormat->currentIndex(), 0) << "a stored separator goes back to the start";
  EXPECT_EQ(w->Profile().OutputExt, "") << "no profile chosen yet";
  {
    QSettings key(QSettings::NativeFormat, QSettings::UserScope, "Morvello", "Klaventa");
    key.setValue("DropDownItems", "many");  // another type: the reading stops there
    key.sync();
  }
  w_.reset();
  w = Start();
  ASSERT_TRUE(w);
  EXPECT_EQ(w->Form4()->SpinEdit1->value(), 27);
  QSettings key(QSettings::NativeFormat, QSettings::UserScope, "Morvello", "Klaventa");
  EXPECT_EQ(key.value("DropDownItems").toInt(), 27);
  EXPECT_EQ(key.value("LetterBox").toInt(), 0);
}

// ---------------------------------------------------------------- dialogs

TEST_F(GuiTest, AdditionalOptionsDialog) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  TForm4* d = w->Form4();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->windowTitle(), "Additional Options");
  EXPECT_TRUE(d->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(d->size(), QSize(408, 247));
  EXPECT_EQ(d->CheckBoxOverWrite->text(), "Overwrite Existing File With The Same Name");
  EXPECT_EQ(d->SpinEdit1->minimum(), 26);
  EXPECT_EQ(d->SpinEdit1->maximum(), 47);
  EXPECT_EQ(d->Button1->text(), "Done");
  EXPECT_TRUE(d->findChild<QLabel*>() != nullptr);

  w->ShowAdditionalOptions();
  EXPECT_TRUE(d->isVisible());
  EXPECT_FALSE(d->isModal()) << "the window stays usable";
  d->SpinEdit1->setValue(33);
  EXPECT_EQ(w->ComboOutputFormat->maxVisibleItems(), 33) << "at once";
  d->Button1->click();
  EXPECT_FALSE(d->isVisible());
  w->ShowAdditionalOptions();
  EXPECT_EQ(d->SpinEdit1->value(), 33) << "the dialog keeps its state";
}

TEST_F(GuiTest, AboutHelpAndWebsite) {
  TForm1* w = Start();
  ASSERT_TRUE(w);
  TFormAbout* about = w->FormAbout();
  ASSERT_TRUE(about);
  EXPECT_EQ(about->windowTitle(), "About");
  EXPECT_EQ(about->size(), QSize(370, 260));
  EXPECT_EQ(about->LabelTitle->text(), "Klaventa 4.0");
  EXPECT_TRUE(about->LabelTitle->font().bold());
  EXPECT_EQ(about->ButtonOK->text(), "OK");
  EXPECT_FALSE(about->LabelNotice->text().isEmpty());
  QTextDocument doc;
  doc.setHtml(about->LinkWebsite->text());
  EXPECT_EQ(doc.toPlainText().replace(QChar::Nbsp, QLatin1Char(' ')), "Visit Morvello Website  for More Softwares ");
  doc.setHtml(about->LinkSupport->text());
  EXPECT_EQ(doc.toPlainText().replace(QChar::Nbsp, QLatin1Char(' ')), "Contact Support Department");
  emit about->LinkWebsite->linkActivated(TFormAbout::WebsiteAddress);
  emit about->LinkSupport->linkActivated(TFormAbout::SupportAddress);
  w->VisitWebsite();
  ASSERT_EQ(urls_.size(), 3u);
  EXPECT_EQ(urls_[0].scheme(), "https");
  EXPECT_EQ(urls_[1].scheme(), "mailto");
  EXPECT_EQ(urls_[2], urls_[0]);

  QTimer::singleShot(0, about, [about] { about->ButtonOK->click(); });
  w->ShowAbout();  // waits until OK closes it
  EXPECT_FALSE(about->isVisible());

  w->OpenHelpFile();
  ASSERT_EQ(urls_.size(), 4u);
  EXPECT_TRUE(urls_[3].isLocalFile());
}

TEST(GuiShell, HelpFileIsFoundBesideTheExecutableOrInstalled) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QString bin = root.filePath("bin");
  QDir().mkpath(bin);
  // Nothing there: the .chm name, for the desktop to complain about.
  EXPECT_EQ(HelpFilePath(bin), QDir(bin).filePath("help.chm"));
  QDir().mkpath(root.filePath("share/klaventa/help"));
  QFile(root.filePath("share/klaventa/help/index.html")).open(QIODevice::WriteOnly);
  EXPECT_EQ(HelpFilePath(bin), root.filePath("share/klaventa/help/index.html"));
  QDir().mkpath(root.filePath("bin/help"));
  QFile(root.filePath("bin/help/index.html")).open(QIODevice::WriteOnly);
  EXPECT_EQ(HelpFilePath(bin), root.filePath("bin/help/index.html"));
  QFile(root.filePath("bin/help.chm")).open(QIODevice::WriteOnly);
  EXPECT_EQ(HelpFilePath(bin), root.filePath("bin/help.chm"));
}

TEST(GuiShell, OpenFileFilter) {
  const QString filter = QString::fromLatin1(OpenFileFilter);
  EXPECT_TRUE(filter.startsWith("All Supported Files|*.avi;*.mpeg;*.mpg;*.mpa;*.m1v;*.mv2;*.wma;*.wmv;*.asf;*.asx;*.mov; *.qt;"));
  EXPECT_TRUE(filter.endsWith("Windows Media Files(*.wma, *.wmv, *.asf, *.asx)|*.wma;*.wmv;*.asf;*.asx|"));
  EXPECT_EQ(filter.count(QLatin1Char('|')), 48);
  const QStringList filters = NameFilters(filter);
  ASSERT_EQ(filters.size(), 24);
  EXPECT_TRUE(filters[0].startsWith("All Supported Files (*.avi *.AVI *.mpeg"));
  EXPECT_EQ(filters[17], "MPEG-4 Audio Files (*.m4a, *.mp4) (*.m4a *.M4A *.mp4 *.MP4)");
  // The dialog keeps the descriptions as written.
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  dialog.setNameFilters(filters);
  auto* box = dialog.findChild<QComboBox*>("fileTypeCombo");
  ASSERT_TRUE(box);
  EXPECT_EQ(box->itemText(17), "MPEG-4 Audio Files (*.m4a, *.mp4)");
  EXPECT_EQ(box->itemText(0), "All Supported Files");
}

TEST(GuiShell, DisplayCheck) {
  struct Case {
    const char* platform;
    const char* display;
    const char* wayland;
    bool ok;
  };
  const Case cases[] = {{"", "", "", false},          {"", ":0", "", true},       {"", "", "wayland-0", true},
                        {"xcb", "", "wayland-0", false}, {"xcb", ":1", "", true}, {"wayland", ":1", "", false},
                        {"offscreen", "", "", true}};
  const QByteArray saved[3] = {qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY")};
  for (const Case& c : cases) {
    qputenv("QT_QPA_PLATFORM", c.platform);
    qputenv("DISPLAY", c.display);
    qputenv("WAYLAND_DISPLAY", c.wayland);
    QString why;
    EXPECT_EQ(DisplayAvailable(&why), c.ok) << c.platform << " " << c.display << " " << c.wayland;
    EXPECT_EQ(why.isEmpty(), c.ok);
  }
  qputenv("QT_QPA_PLATFORM", saved[0]);
  qputenv("DISPLAY", saved[1]);
  qputenv("WAYLAND_DISPLAY", saved[2]);
}

}  // namespace
