#include "ui/viewer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPainter>
#include <QPointer>
#include <QThreadPool>
#include <QVBoxLayout>

#include "ui/invoice_reader.h"
#include "ui/server_link.h"
#include "ui/session_log_lines.h"
#include "ui/strings.h"

namespace belmor::korvex::ui {

namespace {

// The largest invoice the pane reads; attachments make invoices big, but
// not this big.
constexpr qint64 kMaxInvoice = 64 * 1024 * 1024;

}  // namespace

InvoicePane::InvoicePane(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  palette.setColor(QPalette::WindowText, Qt::black);
  setPalette(palette);
  setMinimumHeight(120);
}

void InvoicePane::SetTexts(const QString& doc, const QString& pat, const QString& inv) {
  doc_ = doc;
  pat_ = pat;
  inv_ = inv;
  update();
}

void InvoicePane::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = rect().adjusted(10, 10, -10, 0);
  const int column = area.width() / 3;
  const QString texts[3] = {doc_, pat_, inv_};
  for (int i = 0; i < 3; ++i) {
    QString text = texts[i];
    text.replace("\r\n", "\n");
    painter.drawText(QRect(area.left() + i * column, area.top(), column - 6, area.height()),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
  }
}

ViewerWindow::ViewerWindow(const QString& invoicePath, const QString& logPath, QWidget* owner)
    : QWidget(owner, Qt::Window) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(invoicePath.isEmpty() ? QFileInfo(logPath).completeBaseName() : invoicePath);
  resize(800, 560);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(2);
  // With both parts the invoice takes three quarters of the height.
  if (!invoicePath.isEmpty()) {
    pane_ = new InvoicePane(this);
    column->addWidget(pane_, 3);
    ++pending_;
  }
  if (!logPath.isEmpty()) {
    log_ = new QListWidget(this);
    log_->setObjectName("InvoiceLog");
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    column->addWidget(log_, 1);
    ++pending_;
  }

  // The results come back through the event loop, and only while the
  // window lives: a closed window drops them and its readers stop.
  QPointer<ViewerWindow> self(this);
  const std::shared_ptr<std::atomic<bool>> cancelled = cancelled_;
  if (pane_) {
    // The language is read here: the worker must not touch the table's
    // setting.
    const Language language = CurrentLanguage();
    QThreadPool::globalInstance()->start([self, cancelled, invoicePath, language] {
      QFile file(invoicePath);
      QByteArray content;
      if (file.open(QIODevice::ReadOnly)) content = file.read(kMaxInvoice);
      if (cancelled->load()) return;
      const InvoicePaneTexts texts = ReadInvoicePane(content, language);
      QMetaObject::invokeMethod(qApp, [self, texts] {
        if (!self) return;
        self->pane_->SetTexts(texts.doc, texts.pat, texts.inv);
        self->PartDone();
      });
    });
  }
  if (log_) {
    const QString fileName = invoicePath.isEmpty() ? QString() : QFileInfo(invoicePath).fileName();
    QThreadPool::globalInstance()->start([self, cancelled, logPath, fileName] {
      ReadSessionLog(
          logPath, fileName,
          [self](QStringList lines) {
            QMetaObject::invokeMethod(qApp, [self, lines] {
              if (self) self->log_->addItems(lines);
            });
          },
          *cancelled);
      QMetaObject::invokeMethod(qApp, [self] {
        if (self) self->PartDone();
      });
    });
  }
}

ViewerWindow::~ViewerWindow() { cancelled_->store(true); }

void ViewerWindow::PartDone() {
  if (--pending_ == 0) emit Completed();
}

ViewerWindow* OpenViewer(QWidget* owner, ServerLink& server, const QString& invoicePath, const QString& logName) {
  const QString logPath =
      logName.isEmpty() ? QString() : QDir(server.Text("workDirectory")).filePath("logs/" + logName + ".log");
  auto* viewer = new ViewerWindow(invoicePath, logPath, owner);
  viewer->show();
  return viewer;
}

}  // namespace belmor::korvex::ui
