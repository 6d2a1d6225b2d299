#include "ui/details_page.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <algorithm>

#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {

// The plain files of a directory, by name.
QStringList Files(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Day directories are named year-month-day: by name in reverse, the newest
// day first, whatever order the file system gives.
QStringList Days(const QString& dir) {
  QStringList days = QDir(dir).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  std::reverse(days.begin(), days.end());
  return days;
}

// The session logs by their names without the extension, newest first.
QStringList LogNames(const QString& dir) {
  QStringList names;
  for (const QString& entry : QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
    const int dot = entry.lastIndexOf('.');
    names.append(dot > 0 ? entry.left(dot) : entry);
  }
  std::reverse(names.begin(), names.end());
  return names;
}

}  // namespace

DetailsPage::DetailsPage(ServerLink& server, Open open, QWidget* parent)
    : QWidget(parent), server_(server), open_(std::move(open)) {
  // Three columns: invoices, responses, logs; the list below them with
  // "Löschen" at its right.
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(4);
  grid->addWidget(new QLabel(Text(203), this), 0, 0);
  grid->addWidget(new QLabel(Text(204), this), 0, 1);
  grid->addWidget(new QLabel(Text(205), this), 0, 2);
  const struct {
    int text;
    int row;
    int column;
    State state;
  } buttons[] = {{126, 1, 0, kInvoices},  {127, 2, 0, kArchiveDays},  {128, 3, 0, kErrorDays},
                 {201, 1, 1, kResponses}, {202, 2, 1, kResponseDays}, {129, 1, 2, kLogs}};
  for (int i = 0; i < 6; ++i) {
    buttons_[i] = new QPushButton(Text(buttons[i].text), this);
    grid->addWidget(buttons_[i], buttons[i].row, buttons[i].column);
    const State state = buttons[i].state;
    connect(buttons_[i], &QPushButton::clicked, this, [this, state] { Show(state); });
  }
  for (int column = 0; column < 3; ++column) grid->setColumnStretch(column, 1);

  list_ = new QListWidget(this);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  delete_ = new QPushButton(Text(130), this);
  auto* row = new QHBoxLayout;
  row->setSpacing(10);
  row->addWidget(list_, 1);
  auto* side = new QVBoxLayout;
  side->addWidget(delete_);
  side->addStretch(1);
  row->addLayout(side);
  grid->addLayout(row, 4, 0, 1, 3);
  grid->setRowStretch(4, 1);
  grid->setRowMinimumHeight(4, 60);

  connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) { Activate(list_->row(item)); });
  connect(delete_, &QPushButton::clicked, this, &DetailsPage::DeleteSelected);
  confirm_ = [this](const QString& path) {
    return QMessageBox::question(this, Text(110), Text(165).arg(path), QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
}

QString DetailsPage::Work(const QString& sub) const { return QDir(server_.Text("workDirectory")).filePath(sub); }

void DetailsPage::Fill(const QStringList& names) {
  list_->clear();
  list_->addItems(names);
}

void DetailsPage::Show(State state) {
  list_->clear();
  switch (state) {
    case kInvoices:
      Fill(Files(server_.Text("inputDirectory")));
      break;
    case kArchiveDays:
      Fill(Days(Work("archive")));
      break;
    case kErrorDays:
      Fill(Days(Work("err")));
      break;
    case kResponses:
      Fill(Files(Work("responses")));
      break;
    case kResponseDays:
      Fill(Days(Work("responses-archive")));
      break;
    case kLogs:
      Fill(LogNames(Work("logs")));
      break;
    default:
      return;
  }
  state_ = state;
}

void DetailsPage::EnterDay(const QString& day, State state) {
  const QString base = state == kArchiveDay ? "archive" : state == kResponseDay ? "responses-archive" : "err";
  day_ = day;
  // ".." first: the way back.
  QStringList entries{kBack};
  entries += QDir(Work(base + "/" + day)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  Fill(entries);
  state_ = state;
}

void DetailsPage::Activate(int row) {
  if (row < 0 || row >= list_->count()) return;
  const QString name = list_->item(row)->text();
  switch (state_) {
    case kInvoices:
      open_(QDir(server_.Text("inputDirectory")).filePath(name), QString());
      break;
    case kArchiveDays:
      EnterDay(name, kArchiveDay);
      break;
    case kResponseDays:
      EnterDay(name, kResponseDay);
      break;
    case kErrorDays:
      EnterDay(name, kErrorDay);
      break;
    case kArchiveDay:
      if (name == kBack) return Show(kArchiveDays);
      open_(Work("archive/" + day_ + "/" + name), day_);
      break;
    case kResponses:
      open_(Work("responses/" + name), day_);
      break;
    case kResponseDay:
      if (name == kBack) return Show(kResponseDays);
      open_(Work("responses-archive/" + day_ + "/" + name), day_);
      break;
    case kErrorDay:
      if (name == kBack) return Show(kErrorDays);
      open_(Work("err/" + day_ + "/" + name), day_);
      break;
    case kLogs:
      day_ = name;
      open_(QString(), name);
      break;
    default:
      break;
  }
}

QString DetailsPage::DeletePath(const QString& name) const {
  if (name.endsWith(kBack)) return QString();
  switch (state_) {
    case kInvoices:
      return QDir(server_.Text("inputDirectory")).filePath(name);
    case kArchiveDays:
      return Work("archive/" + name);
    case kArchiveDay:
      return Work("archive/" + day_ + "/" + name);
    case kErrorDays:
      return Work("err/" + name);
    case kErrorDay:
      return Work("err/" + day_ + "/" + name);
    case kLogs:
      return Work("logs/" + name + ".log");
    // Responses are the trust center's: they are delivered, never deleted
    // here.
    default:
      return QString();
  }
}

void DetailsPage::DeleteSelected() {
  QListWidgetItem* item = list_->currentItem();
  if (!item) return;
  const QString path = DeletePath(item->text());
  if (path.isEmpty() || !confirm_(path)) return;
  QFile file(path);
  if (!file.moveToTrash()) {
    QMessageBox::warning(this, Text(110), Text(166).arg(path, file.errorString()));
    return;
  }
  delete list_->takeItem(list_->row(item));
}

}  // namespace belmor::korvex::ui
