#ifndef KORVEX_UI_INFO_PAGE_H_
#define KORVEX_UI_INFO_PAGE_H_

#include <QLabel>
#include <QString>
#include <QWidget>

namespace belmor::korvex::ui {

class ServerLink;

// The name of the operating system: PRETTY_NAME of os-release, else the
// kernel's system name and release.
QString OperatingSystemName(const QString& osRelease = "/etc/os-release");

// The information page: the monitor's and the server's versions, the trust
// center with its telephone, EAN and ESR, the operating system. Read again
// each time the page is shown and when a client changes a property.
class InfoPage : public QWidget {
  Q_OBJECT

 public:
  static constexpr char kVersion[] = "Korvex Ordiva GUI V 5.0.3 ";

  InfoPage(ServerLink& server, QWidget* parent);

  void Refresh();
  QString TrustCenterText() const { return center_->text(); }
  QString EanText() const { return ean_->text(); }
  QString EsrText() const { return esr_->text(); }
  QString ServerVersionText() const { return korvexVersion_->text(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  ServerLink& server_;
  QLabel* korvexVersion_;
  QLabel* asasVersion_;
  QLabel* center_;
  QLabel* ean_;
  QLabel* esr_;
  QLabel* system_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_INFO_PAGE_H_
