#include "ui/session_log_lines.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <cstdlib>

namespace belmor::korvex::ui {

namespace {

constexpr int kBatch = 500;

// A number as its leading decimal digits read it ("12abc" is 12).
long long Leading(const QByteArray& text) { return std::strtoll(text.constData(), nullptr, 10); }

const char* Word(long long value, std::initializer_list<const char*> words) {
  if (value < 0 || value >= static_cast<long long>(words.size())) return "????";
  return *(words.begin() + value);
}

}  // namespace

std::optional<QString> SessionLogLine(const QByteArray& line, const QString& fileName) {
  QByteArray text = line;
  // The last field ends at a carriage return (the lines end with CR LF).
  if (const int cr = text.indexOf('\r'); cr >= 0) text.truncate(cr);
  if (text.endsWith('\n')) text.chop(1);
  // A run of separators counts as one: empty fields disappear.
  QList<QByteArray> fields;
  for (const QByteArray& field : text.split('|'))
    if (!field.isEmpty()) fields.append(field);
  if (fields.size() < 7) return std::nullopt;
  const QString file = QString::fromLatin1(fields[5]);
  if (!fileName.isEmpty() && file != fileName) return std::nullopt;
  const QTime time = QDateTime::fromSecsSinceEpoch(Leading(fields[0])).time();
  const char* level = Word(Leading(fields[1]), {"DEBUG", "INFO", "WARNUNG", "FEHLER", "FATALER FEHLER"});
  const char* mclass = Word(Leading(fields[2]), {"SYST", "ASAS", "MODU", "COUN"});
  const char* origin =
      Word(Leading(fields[3]), {"READ", "CHEC", "ANON", "ENCR", "SEND", "IGRE", "IGCH", "DOWN", "WRIT"});
  return QString::asprintf("%02d:%02d:%02d %s %s %s ", time.hour(), time.minute(), time.second(), origin, mclass,
                           level) +
         file + ": " + QString::fromLatin1(fields[6]);
}

void ReadSessionLog(const QString& path, const QString& fileName, const std::function<void(QStringList)>& batch,
                    const std::atomic<bool>& cancelled) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return;
  QStringList lines;
  while (!cancelled.load() && !file.atEnd()) {
    // Room for the longest line, its CR LF and one byte more to see a line
    // that is too long.
    const QByteArray raw = file.readLine(kMaxLogLine + 3);
    QByteArray content = raw;
    while (content.endsWith('\n') || content.endsWith('\r')) content.chop(1);
    if (content.size() > kMaxLogLine) break;
    if (std::optional<QString> line = SessionLogLine(raw, fileName)) lines.append(*line);
    if (lines.size() >= kBatch) batch(std::exchange(lines, {}));
  }
  if (!lines.isEmpty()) batch(lines);
}

}  // namespace belmor::korvex::ui
