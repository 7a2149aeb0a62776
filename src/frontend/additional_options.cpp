#include "frontend/additional_options.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

#include "frontend/mainwindow.h"
#include "frontend/widgets.h"

namespace klaventa::gui {
namespace {

constexpr int kWidth = 408;
constexpr int kHeight = 247;

const char* const kOutputFolder = "Output Folder";
const char* const kComboOutputFormat = "ComboOutputFormat";
const char* const kOverwrite = "Overwrite";
const char* const kDropDownItems = "DropDownItems";
const char* const kLetterBox = "LetterBox";

// The key, in the user's native settings place (~/.config/Morvello/Klaventa.conf).
struct SettingsKey : QSettings {
  SettingsKey()
      : QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Morvello"),
                  QStringLiteral("Klaventa")) {}
};

// False when the value is missing or is not an integer.
bool read_integer(const QSettings& key, const char* name, int& out) {
  if (!key.contains(QLatin1String(name))) return false;
  const QVariant v = key.value(QLatin1String(name));
  if (v.typeId() == QMetaType::QStringList || v.typeId() == QMetaType::QVariantList) return false;
  bool ok = false;
  const int value = v.toString().trimmed().toInt(&ok);
  if (!ok) return false;
  out = value;
  return true;
}

}  // namespace

TForm4::TForm4(TForm1* main) : QDialog(main), Main_(main) {
  setObjectName(QStringLiteral("Form4"));
  setWindowTitle(QStringLiteral("Additional Options"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint);
  setModal(false);
  setFixedSize(kWidth, kHeight);

  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(12, 12, 12, 12);
  auto* group = new QGroupBox(QStringLiteral(" Additional Options "), this);
  auto* g = new QVBoxLayout(group);
  g->setContentsMargins(14, 14, 14, 14);
  g->setSpacing(16);
  CheckBoxOverWrite = new QCheckBox(QStringLiteral("Overwrite Existing File With The Same Name"), group);
  CheckBoxOverWrite->setObjectName(QStringLiteral("CheckBoxOverWrite"));
  CheckBoxOverWrite->setChecked(false);
  g->addWidget(CheckBoxOverWrite);
  auto* spin_row = new QHBoxLayout;
  SpinEdit1 = new QSpinBox(group);
  SpinEdit1->setObjectName(QStringLiteral("SpinEdit1"));
  SpinEdit1->setRange(26, 47);
  SpinEdit1->setValue(27);
  spin_row->addWidget(SpinEdit1);
  spin_row->addWidget(new QLabel(QStringLiteral(" Drop Down Items in Output Format List"), group), 1);
  g->addLayout(spin_row);
  g->addStretch(1);
  v->addWidget(group, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  Button1 = new QPushButton(QStringLiteral("Done"), this);
  Button1->setObjectName(QStringLiteral("Button1"));
  buttons->addWidget(Button1);
  v->addLayout(buttons);

  connect(Button1, &QPushButton::clicked, this, &QDialog::close);
  connect(SpinEdit1, &QSpinBox::valueChanged, this, [this](int value) { Main_->SetDropDownCount(value); });

  // The original adjusts the font on newer Windows here; nothing to do on Linux.
  try {
    LoadSettings();
  } catch (...) {
  }
}

void TForm4::LoadSettings() {
  SettingsKey key;
  bool failed = false;
  do {
    if (key.contains(QLatin1String(kOutputFolder))) {
      const QVariant folder = key.value(QLatin1String(kOutputFolder));
      if (folder.typeId() != QMetaType::QString) {
        failed = true;
        break;
      }
      Main_->EditOutputFolder->setText(folder.toString());
    } else {
      Main_->EditOutputFolder->setText(QString());
    }
    int value = 0;
    if (!read_integer(key, kComboOutputFormat, value)) {
      failed = true;
      break;
    }
    if (value >= 0) {
      Main_->Profile().ComboOutputFormat.set_index(value);
      Main_->SyncFromModel();
    }
    if (!read_integer(key, kOverwrite, value)) {
      failed = true;
      break;
    }
    CheckBoxOverWrite->setChecked(value != 0);
    if (!read_integer(key, kDropDownItems, value)) {
      failed = true;
      break;
    }
    if (value >= 0) SpinEdit1->setValue(value);
    if (!read_integer(key, kLetterBox, value)) {
      failed = true;
      break;
    }
    if (value >= 0) Main_->ComboLetterBox->setCurrentIndex(value);
  } while (false);
  if (failed) SaveSettings();
}

void TForm4::SaveSettings() {
  SettingsKey key;
  key.setValue(QLatin1String(kOutputFolder), Main_->EditOutputFolder->text());
  key.setValue(QLatin1String(kComboOutputFormat), Main_->ComboOutputFormat->currentIndex());
  key.setValue(QLatin1String(kOverwrite), CheckBoxOverWrite->isChecked() ? 1 : 0);
  key.setValue(QLatin1String(kDropDownItems), SpinEdit1->value());
  key.setValue(QLatin1String(kLetterBox), Main_->ComboLetterBox->currentIndex());
  key.sync();
}

}  // namespace klaventa::gui
