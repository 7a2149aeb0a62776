// The window with files it cannot convert: broken inputs show "Error" when
// added and "Fail" when converted; an output that would replace its input fails
// its row and leaves the input as it was.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "binding/loader.h"
#include "frontend/additional_options.h"
#include "frontend/mainwindow.h"
#include "frontend/shell.h"
#include "frontend/startup.h"
#include "frontend/widgets.h"
#include "media/testmedia.h"
#include "gui_support.h"

using namespace klaventa::gui;

namespace {

[[maybe_unused]] const auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment(true));

QString q(const std::string& s) { return QString::fromStdString(s); }

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

std::string small_clip() {
  testmedia::ClipSpec spec;
  spec.audio_codec = "pcm_s16le";
  return testmedia::make(spec);
}

class GuiReliability : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(settings_dir_.isValid());
    ASSERT_TRUE(out_dir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings_dir_.path());
    SetMessageHandler([this](const MessageRequest& r) {
      messages_ << r.text;
      return QMessageBox::Ok;
    });
    w_ = StartKlaventa(settings_dir_.filePath(QStringLiteral("no Common Files here")));
    ASSERT_TRUE(w_);
    w_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
  }

  void TearDown() override {
    w_.reset();
    SetMessageHandler({});
  }

  // Converts the rows into `folder` and waits for the end of the sequence.
  bool ConvertAll(const QString& folder) {
    w_->EditOutputFolder->setText(folder);
    const int before = static_cast<int>(messages_.count(QStringLiteral("All Conversions Completed")));
    w_->ButtonConvertClick();
    return QTest::qWaitFor(
        [&] {
          return !w_->IsFileBusy() && messages_.count(QStringLiteral("All Conversions Completed")) > before &&
                 w_->ButtonConvert->isEnabled();
        },
        60000);
  }

  QString cell(int row, int col) const { return w_->ListView1->topLevelItem(row)->text(col); }

  QTemporaryDir settings_dir_, out_dir_;
  std::unique_ptr<TForm1> w_;
  QStringList messages_;
};

TEST_F(GuiReliability, BrokenFilesShowErrorAndFailTheirConversion) {
  const QString dir = out_dir_.path() + QStringLiteral("/in");
  ASSERT_TRUE(QDir().mkpath(dir));
  const std::string mp4 = read_file(testmedia::path(testmedia::Clip::H264AacMp4));
  write_file((dir + "/cut.mp4").toStdString(), mp4.substr(0, mp4.size() / 2));
  write_file((dir + "/nostreams.mkv").toStdString(), ";FFMETADATA1\ntitle=a container without streams\n");
  std::mt19937 random(9);
  std::string garbage(65536, '\0');
  for (char& ch : garbage) ch = static_cast<char>(random());
  write_file((dir + "/garbage.avi").toStdString(), garbage);
  const QStringList broken = {q(testmedia::path(testmedia::Clip::Empty)), dir + "/cut.mp4", dir + "/nostreams.mkv",
                              dir + "/garbage.avi"};
  const QString good = q(testmedia::copy_to_temp(small_clip(), "good.avi"));

  w_->AddFiles(broken + QStringList{good});
  ASSERT_EQ(w_->ListView1->topLevelItemCount(), 5);
  for (int r = 0; r < 4; ++r) EXPECT_EQ(cell(r, colProgress), "Error") << broken[r].toStdString();
  EXPECT_EQ(cell(4, colProgress), "");

  const QString out = out_dir_.path() + QStringLiteral("/out");
  ASSERT_TRUE(QDir().mkpath(out));
  ASSERT_TRUE(ConvertAll(out));
  for (int r = 0; r < 4; ++r) EXPECT_EQ(cell(r, colProgress), "Fail") << broken[r].toStdString();
  EXPECT_EQ(cell(4, colProgress), "Done");
  EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList({"good.mp4"}));
}

TEST_F(GuiReliability, OutputOntoItsInputFailsTheRowAndKeepsTheInput) {
  const int avi = w_->ComboOutputFormat->findText(QStringLiteral("AVI - Audio Video Interleave (*.avi)"));
  ASSERT_GE(avi, 0);
  w_->ComboOutputFormat->setCurrentIndex(avi);
  w_->Form4()->CheckBoxOverWrite->setChecked(true);
  const QString dir = out_dir_.path() + QStringLiteral("/same");
  ASSERT_TRUE(QDir().mkpath(dir));
  const std::string input = (dir + "/clip.avi").toStdString();
  write_file(input, read_file(small_clip()));
  const std::string original = read_file(input);

  w_->AddFiles({q(input)});
  ASSERT_TRUE(ConvertAll(dir));
  EXPECT_EQ(cell(0, colProgress), "Fail");
  EXPECT_TRUE(read_file(input) == original) << "the input is untouched";
  EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList({"clip.avi"}));
}

}  // namespace
