#ifndef KORVEX_UI_SINGLE_INSTANCE_H_
#define KORVEX_UI_SINGLE_INSTANCE_H_

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace belmor::korvex::ui {

// One monitor per user: the first start listens on a local socket of the
// user's own; a second start connects, asks the first to show its window,
// and ends.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // The socket's path: in $XDG_RUNTIME_DIR, else in the temporary directory
  // with the user's id in its name.
  static QString SocketPath();

  explicit SingleInstance(QObject* parent = nullptr);

  enum class Outcome {
    First,     // this is the first monitor; it now listens
    Raised,    // another one runs and was asked to raise its window
    Unguarded  // nobody answered, but the socket could not be made either
  };
  Outcome Claim();

 signals:
  // Another start asked for the window.
  void RaiseRequested();

 private:
  void OnConnection();

  QLocalServer* server_;
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_SINGLE_INSTANCE_H_
