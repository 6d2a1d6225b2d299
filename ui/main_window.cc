#include "ui/main_window.h"

#include <QDesktopServices>
#include <QDir>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPainter>
#include <QSvgRenderer>
#include <QUrl>
#include <QVBoxLayout>

#include "ui/config_page.h"
#include "ui/details_page.h"
#include "ui/info_page.h"
#include "ui/notifier.h"
#include "ui/overview_page.h"
#include "ui/server_link.h"
#include "ui/strings.h"
#include "ui/viewer.h"

// The logo and icon live in the monitor's library; a static library's
// resources are registered by hand.
static void InitResources() { Q_INIT_RESOURCE(korvexui); }

namespace belmor::korvex::ui {

namespace {

constexpr int kBandHeight = 41;
constexpr int kMargin = 7;
const QSize kLogoSize(100, 30);

QFont HeaderFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(24);
  font.setBold(true);
  return font;
}

}  // namespace

HeaderBand::HeaderBand(ServerLink& server, QWidget* parent)
    : QWidget(parent),
      server_(server),
      logo_((InitResources(), new QSvgRenderer(QStringLiteral(":/korvexui/logo.svg"), this))) {
  setMinimumHeight(kBandHeight);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize HeaderBand::sizeHint() const { return QSize(600, kBandHeight); }

void HeaderBand::paintEvent(QPaintEvent*) {
  center_ = server_.Text("trustCenter");
  login_ = server_.Text("asasLogin");
  if (login_.startsWith('<')) login_.clear();

  QPainter painter(this);
  logo_->render(&painter, QRectF(QPointF(kMargin, 6), kLogoSize));
  painter.setFont(HeaderFont());
  painter.setPen(QColor(128, 128, 128));
  const QFontMetrics metrics(painter.font());
  const QRect band(0, 0, width(), kBandHeight);
  // The login keeps its place at the right; the trust center, centred over
  // the whole band, gives way (elided) rather than run into the login or
  // the logo.
  const QRect right = band.adjusted(0, 0, -kMargin, 0);
  const int loginWidth = login_.isEmpty() ? 0 : metrics.horizontalAdvance(login_) + 2 * kMargin;
  const int free = std::max(0, width() - 2 * std::max(loginWidth, kMargin + kLogoSize.width() + kMargin));
  painter.drawText(band, Qt::AlignHCenter | Qt::AlignBottom | Qt::TextSingleLine,
                   metrics.elidedText(center_, Qt::ElideRight, free));
  if (!login_.isEmpty()) painter.drawText(right, Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine, login_);
}

MainWindow::MainWindow(ServerLink& server, KorvexEventsHandler& events, Notifier* notifier)
    : server_(server), notifier_(notifier) {
  setWindowTitle(Text(110));
  setWindowIcon(QIcon(QStringLiteral(":/korvexui/logo.svg")));
  setMinimumSize(600, 420);
  resize(600, 420);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kMargin, 0, kMargin, kMargin);
  column->setSpacing(1);
  header_ = new HeaderBand(server_, this);
  column->addWidget(header_);

  tabs_ = new QTabWidget(this);
  overview_ = new OverviewPage(server_, events, tabs_);
  info_ = new InfoPage(server_, tabs_);
  tabs_->addTab(overview_, Text(111));
  details_ = new DetailsPage(
      server_, [this](const QString& invoice, const QString& log) { OpenViewer(this, server_, invoice, log); },
      tabs_);
  tabs_->addTab(details_, Text(112));
  tabs_->addTab(new ConfigPage(server_, tabs_), Text(113));
  tabs_->addTab(info_, Text(114));
  column->addWidget(tabs_, 1);

  // Five columns as on the overview page: the log and help buttons in the
  // first two, Beenden in the last.
  auto* buttons = new QGridLayout;
  buttons->setContentsMargins(0, 6, 0, 0);
  buttons->setHorizontalSpacing(10);
  log_ = new QPushButton(Text(118), this);
  help_ = new QPushButton(Text(115), this);
  quit_ = new QPushButton(Text(116), this);
  buttons->addWidget(log_, 0, 0);
  buttons->addWidget(help_, 0, 1);
  buttons->addWidget(quit_, 0, 4);
  for (int i = 0; i < 5; ++i) buttons->setColumnStretch(i, 1);
  column->addLayout(buttons);

  connect(log_, &QPushButton::clicked, this, &MainWindow::OpenGateLog);
  connect(help_, &QPushButton::clicked, this, &MainWindow::ShowHelp);
  connect(quit_, &QPushButton::clicked, this, &QWidget::close);
  connect(&server_, &ServerLink::PropertiesChanged, this, [this] {
    header_->update();
    if (info_->isVisible()) info_->Refresh();
  });
  connect(&server_, &ServerLink::ServerLost, this, &MainWindow::OnServerLost);
  connect(&server_, &ServerLink::ServerBack, this, &MainWindow::OnServerBack);
  connect(overview_, &OverviewPage::RunEnded, this, &MainWindow::OnRunEnded);
  // A message about a file opens it from today's error directory, with
  // today's session log.
  connect(overview_, &OverviewPage::FileActivated, this, [this](const QString& fileName) {
    const QString session = server_.Text("session");
    const QString work = server_.Text("workDirectory");
    if (session.isEmpty() || work.isEmpty()) return;
    OpenViewer(this, server_, QDir(work).filePath("err/" + session + "/" + fileName), session);
  });
  if (notifier_) connect(notifier_, &Notifier::Activated, this, &MainWindow::Raise);
}

QString MainWindow::HelpText() const {
  QString text = Text(117);
  const QString tel = server_.Text("tcTel");
  if (tel.size() >= 4) text += " (Tel: " + tel + ")";
  return text;
}

void MainWindow::ShowHelp() { QMessageBox::information(this, Text(110), HelpText()); }

void MainWindow::OpenGateLog() {
  const QString url = server_.Text("igLog");
  if (url.size() > 10) QDesktopServices::openUrl(QUrl(url));
}

void MainWindow::Raise() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void MainWindow::OnServerLost() {
  overview_->ServerLost();
  header_->update();
}

void MainWindow::OnServerBack() {
  overview_->ServerBack();
  header_->update();
  if (info_->isVisible()) info_->Refresh();
}

void MainWindow::OnRunEnded(int failedInvoices) {
  if (!notifier_ || failedInvoices == 0) return;
  if (isMinimized() || !isActiveWindow()) notifier_->Notify(failedInvoices);
}

}  // namespace belmor::korvex::ui
