// TFormAbout: the about box with the maker's two links.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace klaventa::gui {

class TFormAbout : public QDialog {
  Q_OBJECT
 public:
  explicit TFormAbout(QWidget* parent = nullptr);

  static const char* const WebsiteAddress;
  static const char* const SupportAddress;

  QLabel* LabelTitle = nullptr;
  QLabel* LinkWebsite = nullptr;
  QLabel* LinkSupport = nullptr;
  QLabel* LabelNotice = nullptr;
  QPushButton* ButtonOK = nullptr;
};

}  // namespace klaventa::gui
