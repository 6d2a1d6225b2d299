#include "ui/prog_bar.h"

#include <QPainter>
#include <QPalette>

#include "logging/report.h"

namespace belmor::korvex::ui {

int ProgBarCounts::SegmentOf(int32_t origin) {
  switch (origin) {
    case moPReader:
      return 0;
    case moPChecker:
      return 1;
    case moPAnonymizer:
      return 2;
    case moPSender:
      return 3;
    case moPWriter:
      return 4;
    default:
      return -1;
  }
}

ProgBarCounts::Repaint ProgBarCounts::Handle(const Report& report) {
  if (report.level == mlDebug) return Repaint::None;
  // An error marks the step that works now, whoever reports it.
  if (report.level == mlError || report.level == mlFatal) segments_[current_].failed = true;
  const int segment = SegmentOf(report.origin);
  if (segment < 0) return Repaint::None;
  Segment& s = segments_[segment];
  if (report.mclass == mcModule) {
    if (report.code == 0) {
      s = Segment{0, 1, false};
      current_ = segment;
      ended_ = -1;
      return Repaint::Erase;
    }
    if (report.code == 1) {
      s.done = 1;
      s.total = 1;
      ended_ = segment;
      return Repaint::Update;
    }
    // A report about one file: the same file reported twice counts once.
    if (report.fileName.isEmpty() || report.fileName == lastFile_) return Repaint::None;
    lastFile_ = report.fileName;
    if (s.done < s.total) ++s.done;
    return Repaint::Update;
  }
  if (report.mclass == mcCount) {
    // A count after the step's end (the invoices left for the next run)
    // announces nothing.
    if (segment == ended_) return Repaint::None;
    // A step's announcement starts it and every later one afresh.
    for (int i = segment; i < static_cast<int>(segments_.size()); ++i) {
      segments_[i].done = 0;
      segments_[i].failed = false;
      if (i > segment) segments_[i].total = 0;
    }
    s.total = report.code;
    return Repaint::Erase;
  }
  return Repaint::None;
}

ProgBar::ProgBar(KorvexEventsHandler& handler, QWidget* parent) : QWidget(parent), EventReceiver(handler) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
}

void ProgBar::OnEvent(const Report& report) {
  if (counts_.Handle(report) != ProgBarCounts::Repaint::None) update();
}

void ProgBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int w = width();
  const int h = height();
  const int s = (w + 2) / 5;
  if (s > 0) {
    for (int i = 0; i < 5; ++i) {
      const ProgBarCounts::Segment& segment = counts_.At(i);
      if (segment.done == 0 || segment.total == 0) continue;
      const int filled = static_cast<int>(static_cast<int64_t>(s) * segment.done / segment.total);
      painter.fillRect(QRect(i * s, 0, filled, h), segment.failed ? QColor(255, 0, 0) : QColor(0, 0, 255));
    }
  }
  const QColor shadow = palette().color(QPalette::Dark);
  for (int k = 1; k <= 4; ++k) {
    painter.setPen(Qt::white);
    painter.drawLine(k * s - 1, 0, k * s - 1, h - 1);
    painter.setPen(shadow);
    painter.drawLine(k * s, 0, k * s, h - 1);
  }
}

}  // namespace belmor::korvex::ui
