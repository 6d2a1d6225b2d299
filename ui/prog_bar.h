#ifndef KORVEX_UI_PROG_BAR_H_
#define KORVEX_UI_PROG_BAR_H_

#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>

#include "ui/event_receiver.h"

namespace belmor::korvex::ui {

// The counts behind the five-segment progress bar, one segment per step:
// read, check, anonymise, send, write. Kept apart from the widget so the
// counting rules can be checked without painting.
class ProgBarCounts {
 public:
  struct Segment {
    int32_t done = 0;
    int32_t total = 0;
    bool failed = false;
  };
  enum class Repaint { None, Update, Erase };

  // The segment of a step's origin, or -1 for the origins without one.
  static int SegmentOf(int32_t origin);

  Repaint Handle(const Report& report);

  const Segment& At(int segment) const { return segments_[segment]; }
  int Current() const { return current_; }

 private:
  std::array<Segment, 5> segments_{};
  int current_ = 0;
  // The segment whose step has ended, until the next step starts; -1: none.
  int ended_ = -1;
  QString lastFile_;
};

// The progress bar control: blue for the done part of each segment, red for
// a segment that had an error, separators between the segments.
class ProgBar : public QWidget, public EventReceiver {
  Q_OBJECT

 public:
  ProgBar(KorvexEventsHandler& handler, QWidget* parent);

  const ProgBarCounts& Counts() const { return counts_; }
  void OnEvent(const Report& report) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ProgBarCounts counts_;
};

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_PROG_BAR_H_
