#include "ui/info_page.h"

#include <sys/utsname.h>

#include <QFile>
#include <QFrame>
#include <QGridLayout>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {

QFrame* Rule(QWidget* parent) {
  auto* rule = new QFrame(parent);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);
  return rule;
}

}  // namespace

QString OperatingSystemName(const QString& osRelease) {
  QFile file(osRelease);
  if (file.open(QIODevice::ReadOnly)) {
    static const QRegularExpression pretty("^PRETTY_NAME=(.*)$", QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = pretty.match(QString::fromUtf8(file.read(64 * 1024)));
    if (match.hasMatch()) {
      QString value = match.captured(1).trimmed();
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
      if (!value.isEmpty()) return value;
    }
  }
  struct utsname name {};
  if (::uname(&name) == 0) return QString::fromLocal8Bit(name.sysname) + " " + QString::fromLocal8Bit(name.release);
  return QString();
}

InfoPage::InfoPage(ServerLink& server, QWidget* parent) : QWidget(parent), server_(server) {
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(10, 10, 10, 10);
  column->addWidget(new QLabel(kVersion, this));
  korvexVersion_ = new QLabel(this);
  asasVersion_ = new QLabel(this);
  column->addWidget(korvexVersion_);
  column->addWidget(asasVersion_);
  column->addWidget(Rule(this));

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  center_ = new QLabel(this);
  ean_ = new QLabel(this);
  esr_ = new QLabel(this);
  const std::pair<int, QLabel*> rows[] = {{131, center_}, {138, ean_}, {139, esr_}};
  int row = 0;
  for (const auto& [label, value] : rows) {
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(new QLabel(Text(label), this), row, 0);
    grid->addWidget(value, row++, 1);
  }
  grid->setColumnStretch(1, 1);
  column->addLayout(grid);
  column->addWidget(Rule(this));
  system_ = new QLabel(this);
  system_->setWordWrap(true);
  column->addWidget(system_);
  column->addStretch(1);
}

void InfoPage::Refresh() {
  korvexVersion_->setText(server_.Text("korvexVersion"));
  asasVersion_->setText(server_.Text("asasVersion"));
  QString center = server_.Text("trustCenter");
  const QString tel = server_.Text("tcTel");
  if (!tel.isEmpty()) center += " (Tel: " + tel + ")";
  center_->setText(center);
  ean_->setText(server_.Text("ean"));
  esr_->setText(server_.Text("esr"));
  system_->setText(OperatingSystemName());
}

void InfoPage::showEvent(QShowEvent* event) {
  Refresh();
  QWidget::showEvent(event);
}

}  // namespace belmor::korvex::ui
