#include "frontend/about.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "frontend/shell.h"

namespace klaventa::gui {
namespace {

QFrame* separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

// A blue, underlined link with the hand cursor that opens through the desktop.
QLabel* link(QWidget* parent, const char* name, const QString& caption, const char* address) {
  auto* label = new QLabel(parent);
  label->setObjectName(QLatin1String(name));
  label->setTextFormat(Qt::RichText);
  label->setText(QStringLiteral("<a href=\"%1\" style=\"color:#0000ff; text-decoration:underline;\">%2</a>")
                     .arg(QLatin1String(address), caption.toHtmlEscaped().replace(QLatin1Char(' '), QStringLiteral("&nbsp;"))));
  label->setToolTip(QString());
  label->setCursor(Qt::PointingHandCursor);
  label->setOpenExternalLinks(false);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  QObject::connect(label, &QLabel::linkActivated, label, [](const QString& url) { OpenUrl(QUrl(url)); });
  return label;
}

}  // namespace

const char* const TFormAbout::WebsiteAddress = "https://morvello.example/";
const char* const TFormAbout::SupportAddress = "mailto:support@morvello.example";

TFormAbout::TFormAbout(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FormAbout"));
  setWindowTitle(QStringLiteral("About"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::WindowStaysOnTopHint);
  setFixedSize(370, 260);

  auto* v = new QVBoxLayout(this);
  v->setContentsMargins(16, 14, 16, 14);
  v->setSpacing(10);

  auto* head = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setFixedSize(32, 32);
  LabelTitle = new QLabel(QStringLiteral("Klaventa 4.0"), this);
  LabelTitle->setObjectName(QStringLiteral("LabelTitle"));
  QFont bold = LabelTitle->font();
  bold.setBold(true);
  LabelTitle->setFont(bold);
  head->addWidget(icon);
  head->addSpacing(10);
  head->addWidget(LabelTitle, 1);
  v->addLayout(head);
  v->addWidget(separator(this));

  LinkWebsite = link(this, "LinkWebsite", QStringLiteral("Visit Morvello Website  for More Softwares "), WebsiteAddress);
  LinkSupport = link(this, "LinkSupport", QStringLiteral("Contact Support Department"), SupportAddress);
  v->addWidget(LinkWebsite);
  v->addWidget(LinkSupport);
  v->addWidget(separator(this));

  LabelNotice = new QLabel(QStringLiteral("Klaventa is made by Morvello Software. Free to use and share."), this);
  LabelNotice->setObjectName(QStringLiteral("LabelNotice"));
  LabelNotice->setWordWrap(true);
  v->addWidget(LabelNotice);
  v->addStretch(1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  ButtonOK = new QPushButton(QStringLiteral("OK"), this);
  ButtonOK->setObjectName(QStringLiteral("ButtonOK"));
  ButtonOK->setFont(bold);
  ButtonOK->setDefault(true);
  connect(ButtonOK, &QPushButton::clicked, this, &QDialog::accept);
  buttons->addWidget(ButtonOK);
  buttons->addStretch(1);
  v->addLayout(buttons);
}

}  // namespace klaventa::gui
