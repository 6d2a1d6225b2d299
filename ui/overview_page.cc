#include "ui/overview_page.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QMessageBox>

#include "logging/report.h"
#include "ui/server_link.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {

// The maximum length of a formatted confirmation text.
constexpr int kMaxText = 255;
// The send step's report of an invoice left for the next run.
constexpr int32_t kCodeWaiting = 20;

}  // namespace

OverviewPage::OverviewPage(ServerLink& server, KorvexEventsHandler& events, QWidget* parent)
    : QWidget(parent), server_(server) {
  // Five equal columns: Auto and Abbrechen above the first and last, the
  // five step buttons below, the bar and the list across all of them.
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(10, 10, 10, 10);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(10);
  const int texts[6] = {120, 121, 122, 123, 124, 206};
  for (int i = 0; i < 6; ++i) buttons_[i] = new QPushButton(Text(texts[i]), this);
  cancel_ = new QPushButton(Text(125), this);
  grid->addWidget(buttons_[0], 0, 0);
  grid->addWidget(cancel_, 0, 4);
  for (int i = 1; i < 6; ++i) grid->addWidget(buttons_[i], 1, i - 1);
  for (int column = 0; column < 5; ++column) grid->setColumnStretch(column, 1);

  list_ = new QListWidget(this);
  list_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  failures_ = std::make_unique<FailureCounter>(events);
  listWriter_ = std::make_unique<ListBoxEventReceiver>(events, *list_);
  progress_ = new ProgBar(events, this);
  progress_->setFixedHeight(10);
  activity_ = std::make_unique<ActivityMonitor>(events, [this](bool enable) { EnableRunButtons(enable); });
  grid->addWidget(progress_, 2, 0, 1, 5);
  grid->addWidget(list_, 3, 0, 1, 5);
  grid->setRowStretch(3, 1);

  connect(buttons_[0], &QPushButton::clicked, this, &OverviewPage::RunAuto);
  connect(buttons_[1], &QPushButton::clicked, this, [this] { Run("Read", false); });
  connect(buttons_[2], &QPushButton::clicked, this, [this] { Run("Check", false); });
  connect(buttons_[3], &QPushButton::clicked, this, [this] { Run("Anonymize", true); });
  connect(buttons_[4], &QPushButton::clicked, this, [this] { Run("Send", true); });
  connect(buttons_[5], &QPushButton::clicked, this, [this] { Run("Write", false); });
  connect(cancel_, &QPushButton::clicked, this, &OverviewPage::CancelRun);
  connect(list_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    const QString name = item ? item->data(kFileNameRole).toString() : QString();
    if (!name.isEmpty()) emit FileActivated(name);
  });

  confirm_ = [this](const QString& text) {
    return QMessageBox::warning(this, Text(110), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  };
}

// The receivers unhook before the widgets they write into go.
OverviewPage::~OverviewPage() {
  activity_.reset();
  listWriter_.reset();
  failures_.reset();
}

void OverviewPage::FailureCounter::OnEvent(const Report& report) {
  // An invoice the send step could not send waits with a warning of its own.
  const bool waiting = report.mclass == mcModule && report.origin == moPSender && report.code == kCodeWaiting;
  if ((report.level == mlError || report.level == mlFatal || waiting) && !report.fileName.isEmpty())
    files_.insert(report.fileName);
}

void OverviewPage::EnableRunButtons(bool enable) {
  for (QPushButton* button : buttons_) button->setEnabled(enable);
  if (!enable && !locked_) failures_->Reset();
  const bool ended = enable && locked_;
  locked_ = !enable;
  if (ended) emit RunEnded(failures_->Count());
}

void OverviewPage::ServerLost() {
  // A run the server was working on reports nothing more.
  activity_->Await(-1);
  AddLine("    SYSTEM " + Text(160));
  for (QPushButton* button : buttons_) button->setEnabled(false);
}

void OverviewPage::ServerBack() {
  AddLine("    SYSTEM " + Text(161));
  locked_ = false;
  for (QPushButton* button : buttons_) button->setEnabled(true);
}

void OverviewPage::AddLine(const QString& line) { AppendLine(*list_, line); }

bool OverviewPage::Confirmed() {
  if (server_.Text("esr") != "69") return true;
  QString text = Text(119);
  text.replace("%s", server_.Text("trustCenter"));
  return confirm_(text.left(kMaxText));
}

void OverviewPage::ReportFailure() {
  const QString message = server_.LastError().message();
  AddLine(server_.LastError().isValid() ? "DBUS ERROR:" + message : QStringLiteral("UNBEKANNTER FEHLER"));
}

void OverviewPage::Run(const QString& method, bool confirm) {
  if (confirm && !Confirmed()) return;
  if (!server_.Call(method)) ReportFailure();
}

void OverviewPage::RunAuto() {
  if (!Confirmed()) return;
  // The buttons stay locked from the click until the send step is done.
  activity_->Await(moPSender);
  EnableRunButtons(false);
  if (!server_.Call("Auto")) ReportFailure();
}

void OverviewPage::CancelRun() {
  activity_->Await(-1);
  if (!server_.Call("Cancel")) ReportFailure();
}

}  // namespace belmor::korvex::ui
