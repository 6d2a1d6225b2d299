#ifndef KORVEX_UI_SESSION_LOG_LINES_H_
#define KORVEX_UI_SESSION_LOG_LINES_H_

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <optional>

namespace belmor::korvex::ui {

// The viewer's line for one line of a session log ("time|level|class|
// origin|code|file|message", Latin-1): "hh:mm:ss ORIG CLAS LEVEL file:
// message" in local time, with fixed words the same in every language.
// Nothing for a line with fewer than seven fields (the header, a line
// without a file name) or, when fileName is not empty, about another file.
std::optional<QString> SessionLogLine(const QByteArray& line, const QString& fileName);

// The longest line a session log may have; a longer one ends the listing.
constexpr int kMaxLogLine = 511;

// Reads a session log as the server may still be appending to it and hands
// the viewer's lines to batch, some hundred at a time, until the end of the
// file, the first line longer than kMaxLogLine or cancelled. A file that
// cannot be opened gives nothing. Runs on any thread.
void ReadSessionLog(const QString& path, const QString& fileName, const std::function<void(QStringList)>& batch,
                    const std::atomic<bool>& cancelled);

}  // namespace belmor::korvex::ui

#endif  // KORVEX_UI_SESSION_LOG_LINES_H_
