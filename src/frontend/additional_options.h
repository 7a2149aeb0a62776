// TForm4: the modeless "Additional Options" dialog, and the five stored
// settings (QSettings, organisation "Morvello", application "Klaventa").
#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;
class QSpinBox;

namespace klaventa::gui {

class TForm1;

class TForm4 : public QDialog {
  Q_OBJECT
 public:
  // Creating the dialog loads the stored settings into it and into the main window.
  explicit TForm4(TForm1* main);

  // Reads the five values; a missing or mistyped one stops the reading and
  // writes all five back from the controls.
  void LoadSettings();
  // Writes the five values in their fixed order.
  void SaveSettings();

  QCheckBox* CheckBoxOverWrite = nullptr;
  QSpinBox* SpinEdit1 = nullptr;
  QPushButton* Button1 = nullptr;

 private:
  TForm1* Main_;
};

}  // namespace klaventa::gui
