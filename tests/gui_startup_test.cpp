// Program start: a "Common Files" folder with a broken library stops the start
// with the message; without a display the program says so and exits.
// The media libraries are not loaded before these tests run.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <vector>

#include "binding/loader.h"
#include "frontend/mainwindow.h"
#include "frontend/shell.h"
#include "frontend/startup.h"
#include "frontend/widgets.h"
#include "gui_support.h"

using namespace klaventa::gui;

namespace {

[[maybe_unused]] const auto* const g_env = ::testing::AddGlobalTestEnvironment(new QtEnvironment(false));

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir_.filePath("config"));
    SetMessageHandler([this](const MessageRequest& r) {
      messages_.push_back(r);
      return QMessageBox::Ok;
    });
  }
  void TearDown() override { SetMessageHandler({}); }

  QTemporaryDir dir_;
  std::vector<MessageRequest> messages_;
};

TEST_F(StartupTest, BrokenLibraryInCommonFilesStopsTheStart) {
  ASSERT_FALSE(klaventa::libraries_loaded()) << "this suite must start without the libraries";
  const QString folder = dir_.filePath("Common Files");
  ASSERT_TRUE(QDir().mkpath(folder));
  {
    QFile broken(QDir(folder).filePath(QString::fromStdString(klaventa::library_file_name("libavcodec", true))));
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("this is not a shared library\n");
  }
  std::unique_ptr<TForm1> w = StartKlaventa(folder);
  EXPECT_EQ(w, nullptr);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, "Some files are missing. Please re-install this software");
  EXPECT_EQ(messages_[0].caption, "Information");
  EXPECT_EQ(messages_[0].icon, QMessageBox::Information);
  EXPECT_EQ(messages_[0].buttons, QMessageBox::Ok);
  EXPECT_FALSE(klaventa::libraries_loaded());

  // A folder without the libraries leaves the system's copies to be found.
  messages_.clear();
  w = StartKlaventa(dir_.filePath("no such folder"));
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(messages_.empty());
  EXPECT_TRUE(klaventa::libraries_loaded());
  EXPECT_EQ(w->ComboOutputFormat->count(), 33);
}

TEST_F(StartupTest, ProgramWithoutDisplayExplainsAndFails) {
  const QString exe = QStringLiteral(KLAVENTA_BINARY_DIR "/src/frontend/klaventa");
  if (!QFileInfo::exists(exe)) GTEST_SKIP() << "klaventa not built";
  struct Case {
    const char* platform;
    const char* display;  // one that no server answers, or none
  };
  for (const Case& c : {Case{"", ""}, Case{"xcb", ""}, Case{"xcb", ":987"}}) {
    const std::string platform = std::string(c.platform) + " " + c.display;
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
    if (*c.platform) env.insert("QT_QPA_PLATFORM", c.platform);
    else env.remove("QT_QPA_PLATFORM");
    if (*c.display) env.insert("DISPLAY", c.display);
    p.setProcessEnvironment(env);
    p.start(exe, {});
    ASSERT_TRUE(p.waitForFinished(30000)) << platform;
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << platform;
    EXPECT_EQ(p.exitCode(), 2) << platform;
    EXPECT_TRUE(p.readAllStandardError().contains("no usable display")) << platform;
  }
}

}  // namespace
