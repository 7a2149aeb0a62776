// Small widget pieces of the main window: the file list (report style with
// grid lines, accepts dropped files), a drop-down list that reports its
// opening, and the scheduler the conversion component posts its timers to.
#pragma once

#include <QComboBox>
#include <QPointer>
#include <QStringList>
#include <QTreeWidget>

#include "component/scheduler.h"

namespace klaventa::gui {

class FileListView : public QTreeWidget {
  Q_OBJECT
 public:
  explicit FileListView(QWidget* parent = nullptr);

 signals:
  // Local files dropped onto the list, in the order the drop carried them.
  void filesDropped(const QStringList& files);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

class DropDownCombo : public QComboBox {
  Q_OBJECT
 public:
  using QComboBox::QComboBox;
  void showPopup() override;

 signals:
  void droppingDown();
};

// Runs the component's delayed calls on the GUI thread with single-shot timers;
// PostDelayed may be called from any thread.
class QtScheduler : public TScheduler {
 public:
  explicit QtScheduler(QObject* context) : context_(context) {}
  void PostDelayed(int ms, std::function<void()> fn) override;

 private:
  QPointer<QObject> context_;
};

}  // namespace klaventa::gui
