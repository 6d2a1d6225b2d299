#ifndef KORVEX_LOGGING_KORVEX_LOGGER_H_
#define KORVEX_LOGGING_KORVEX_LOGGER_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/path.h"
#include "logging/log.h"
#include "logging/messages.h"
#include "logging/report.h"

namespace belmor::korvex {

// "Korvex Ordiva V 5.0.3 / " + the operating system's product name. Heads
// every session log file and tells the trust center's stylesheets who made
// the invoice.
std::string ClientDescription();

// "YYYY-MM-DD" of a time in local time: the day that names a session log and
// the day directories of the work area.
std::string DayStamp(std::time_t when);

// Receives every report the session logger records; the automation object
// implements it to raise its event.
class IKorvexSystemLogger {
 public:
  virtual ~IKorvexSystemLogger() = default;
  virtual void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
                   const std::string& message) = 0;
};

// A report that the input gate sent back for an invoice. The gate is not
// ours, so the setters force every value into the enumerations: an unknown
// level reads as an error, an unknown class as a system report, an unknown
// origin as the reader.
class LogRecord {
 public:
  LogRecord() = default;
  LogRecord(int32_t level, int32_t mclass, int32_t origin, int32_t code, std::string fileName, std::string message);

  void SetLevel(int32_t level);
  void SetClass(int32_t mclass);
  void SetOrigin(int32_t origin);
  void SetCode(int32_t code) { code_ = code; }
  void SetFileName(std::string fileName) { fileName_ = std::move(fileName); }
  void SetMessage(std::string message) { message_ = std::move(message); }

  int32_t Level() const { return level_; }
  int32_t Class() const { return class_; }
  int32_t Origin() const { return origin_; }
  int32_t Code() const { return code_; }
  const std::string& FileName() const { return fileName_; }
  const std::string& Message() const { return message_; }

 private:
  int32_t level_ = mlDebug;
  int32_t class_ = mcSystem;
  int32_t origin_ = moPReader;
  int32_t code_ = 0;
  std::string fileName_;
  std::string message_;
};

// The session log: every report the practice may see goes through Log, which
// appends it as one line to the day's file in the work "logs" directory
// (Latin-1, CR LF, read by the monitor), echoes it into the debug log and
// hands it to the event sink. Also owns the debug-log chain and installs it
// as the process-wide debug logger.
//
// Reports come from every worker thread at once. Log is thread-safe: lines of
// different threads never interleave and the day's file is opened once, with
// one header. The event sink is called on the reporting thread without any
// lock held, so a sink may report in turn.
class KorvexLogger {
 public:
  // The settings read from the client configuration. debug and logsPath are
  // asked on every report, so a change made through automation counts from
  // the next report on.
  // The owner of the logger (the engine) gives the two switches and the
  // day as callbacks, so the logger depends on nothing above it; a callback
  // left empty means off, or nobody to tell.
  struct Settings {
    std::function<bool()> debug;               // the "debug" setting
    std::function<common::Path()> logsPath;    // the work "logs" directory
    common::Path appDataPath;                  // holds the debug log "korvex.log"
    // Lets reports of moPDownloader and moPWriter reach the event sink.
    std::function<bool()> responseMessagesEnabled{};
    // Told the day of the session file whenever a line is written; the dated
    // work directories are named by it.
    std::function<void(const std::string& day)> dayChanged{};
  };

  // minDebugLevel: the least log::Level the debug log keeps.
  KorvexLogger(int minDebugLevel, Settings settings);
  ~KorvexLogger();
  KorvexLogger(const KorvexLogger&) = delete;
  KorvexLogger& operator=(const KorvexLogger&) = delete;

  // Records one report. mlDebug reports are dropped entirely unless the
  // debug setting is on. Reports of moPDownloader and moPWriter reach the
  // event sink only while the responseMessagesEnabled setting is on; the
  // file gets them always. Never throws on a file problem: the line is lost,
  // the echo and the event still happen.
  void Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
           const std::string& message);
  // An empty record is ignored.
  void Log(const std::shared_ptr<LogRecord>& record);

  void SetEventSink(std::shared_ptr<IKorvexSystemLogger> sink);

  // The process-wide message catalogue.
  static std::string GetMessageText(int code);
  static void RegisterMessageTable(const std::string& language, MessageTable table);
  static void SelectMessageTable(const std::string& language);

  // The session file last written to; empty before the first line.
  common::Path GetSessionPath() const;
  const common::Path& GetDebugLogPath() const { return debugLogPath_; }
  const std::shared_ptr<log::FilteringLogger>& GetDebugLogger() const { return debugLogger_; }

  // Replaces the clock that dates reports and picks the day's file; tests
  // cross midnight with it. Set it before reporting starts: it is not guarded.
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  // Opens the day's file when the day changed and appends the line. Failures
  // go to the debug log.
  void WriteSessionLine(const std::string& day, const std::string& line);

  void CloseSessionFile();

  Settings settings_;
  common::Path debugLogPath_;
  std::shared_ptr<log::FilteringLogger> debugLogger_;
  std::function<std::time_t()> clock_;

  // Guards the session file and its path: the day switch and the write of one
  // line happen as one step.
  mutable std::mutex sessionMutex_;
  common::Path sessionPath_;
  int sessionFd_ = -1;

  std::mutex sinkMutex_;
  std::shared_ptr<IKorvexSystemLogger> eventSink_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_LOGGING_KORVEX_LOGGER_H_
