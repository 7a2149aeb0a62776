// Shared by the window test suites: the Qt application for the whole run and
// readable failure output for Qt strings.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QStringList>
#include <ostream>

#include "binding/loader.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << '[' << l.join(", ").toStdString() << ']'; }

// One QApplication on the offscreen platform (unless another is asked for);
// with `load_libraries`, the media libraries too and windows may close without
// ending the run.
class QtEnvironment : public ::testing::Environment {
 public:
  explicit QtEnvironment(bool load_libraries) : load_libraries_(load_libraries) {}
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "klaventa_gui_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    if (!load_libraries_) return;
    QApplication::setQuitOnLastWindowClosed(false);
    ASSERT_TRUE(klaventa::load_libraries("", true)) << klaventa::library_load_error();
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  bool load_libraries_;
  QApplication* app_ = nullptr;
};
