#include "frontend/widgets.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QThread>
#include <QTimer>

namespace klaventa::gui {
namespace {

// Draws the right and bottom edge of every cell: the list's grid lines.
class GridDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();
    painter->setPen(QColor(0xd4, 0xd4, 0xd4));
    const QRect r = option.rect;
    painter->drawLine(r.topRight(), r.bottomRight());
    painter->drawLine(r.bottomLeft(), r.bottomRight());
    painter->restore();
  }
};

QStringList local_files(const QMimeData* mime) {
  QStringList files;
  if (!mime || !mime->hasUrls()) return files;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) files << url.toLocalFile();
  return files;
}

}  // namespace

FileListView::FileListView(QWidget* parent) : QTreeWidget(parent) {
  setItemDelegate(new GridDelegate(this));
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void FileListView::dragEnterEvent(QDragEnterEvent* event) {
  if (!local_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
  else event->ignore();
}

void FileListView::dragMoveEvent(QDragMoveEvent* event) {
  if (!local_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
  else event->ignore();
}

void FileListView::dropEvent(QDropEvent* event) {
  const QStringList files = local_files(event->mimeData());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The intake processes events; let the drag finish first.
  QTimer::singleShot(0, this, [this, files] { emit filesDropped(files); });
}

void DropDownCombo::showPopup() {
  emit droppingDown();
  QComboBox::showPopup();
}

void QtScheduler::PostDelayed(int ms, std::function<void()> fn) {
  QObject* ctx = context_.data();
  if (!ctx) return;
  if (QThread::currentThread() == ctx->thread()) {
    QTimer::singleShot(ms < 0 ? 0 : ms, ctx, std::move(fn));
    return;
  }
  QMetaObject::invokeMethod(
      ctx, [ctx, ms, fn = std::move(fn)]() mutable { QTimer::singleShot(ms < 0 ? 0 : ms, ctx, std::move(fn)); },
      Qt::QueuedConnection);
}

}  // namespace klaventa::gui
