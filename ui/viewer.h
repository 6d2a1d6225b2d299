#ifndef KORVEX_UI_VIEWER_H_
#define KORVEX_UI_VIEWER_H_

#include <QListWidget>
#include <QString>
#include <QWidget>
#include <atomic>
#include <memory>

namespace belmor::korvex::ui {

class ServerLink;

// The invoice pane: three columns side by side, the biller ("doc"), the
// patient ("pat"), the treatment and invoice ("inv").
class InvoicePane : public QWidget {
  Q_OBJECT

 public:
  explicit InvoicePane(QWidget* parent);

  void SetTexts(const QString& doc, const QString& pat, const QString& inv);
  const QString& Doc() const { return doc_; }
  const QString& Pat() const { return pat_; }
  const QString& Inv() const { return inv_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString doc_;
  QString pat_;
  QString inv_;
};

// A window onto one invoice and the session-log lines about it (or onto a
// whole session log). It shows at once and fills itself while the files
// are read on a worker thread; closing it stops the reading. Each window is
// a snapshot of the moment it opened.
class ViewerWindow : public QWidget {
  Q_OBJECT

 public:
  // invoicePath and logPath may each be empty (then that part is missing).
  ViewerWindow(const QString& invoicePath, const QString& logPath, QWidget* owner);
  ~ViewerWindow() override;

  InvoicePane* Pane() const { return pane_; }
  QListWidget* Log() const { return log_; }
  // True once everything has been read.
  bool Complete() const { return pending_ == 0; }

 signals:
  void Completed();

 private:
  void PartDone();

  InvoicePane* pane_ = nullptr;
  QListWidget* log_ = nullptr;
  int pending_ = 0;
  std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
};

// Opens a viewer owned by owner for an invoice (empty for none) with the
// session log of a day (logName, empty for none) from the server's work
// directory; titled with the invoice path, or with the log name.
ViewerWindow* OpenViewer(QWidget* owner, ServerLink& server, const QString& invoicePath, const QString& logName);

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_VIEWER_H_
