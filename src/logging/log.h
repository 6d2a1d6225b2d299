#ifndef KORVEX_LOGGING_LOG_H_
#define KORVEX_LOGGING_LOG_H_

#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

namespace belmor::log {

// Levels of debug lines. These are not the report levels the practice sees.
enum Level : int { TRACE = 0, DEBUG = 1, INFO = 2, WARN = 3, ERROR = 4, FATAL = 5 };

// "TRACE" ... "FATAL", "OTHER" for any other value.
const char* LevelName(int level);

// One composed debug line: the header fields and the text streamed so far.
struct LogData {
  std::ostringstream stream;
  int level = INFO;
  std::string file;      // source file as passed
  std::string baseName;  // part after the last "/" or, if none, the last "\"
  int line = 0;
  std::string tag;
  std::time_t time = 0;
  std::tm localTime{};
  int number = 0;  // printed after the level; always 0
};

// A sink for debug lines. Loggers are shared between threads; each one makes
// sure a line reaches its destination whole.
class BaseLogger {
 public:
  virtual ~BaseLogger() = default;
  // Writes one composed line; the answer tells whether it was taken.
  virtual bool Write(const LogData& data) = 0;
  // Whether a line of this level would be written at all. Lets a message skip
  // all formatting when nobody wants it.
  virtual bool IsEnabled(int level) const;
};

// Drops every line; the current logger until the session logger installs its chain.
class VoidLogger : public BaseLogger {
 public:
  bool Write(const LogData& data) override;
  bool IsEnabled(int level) const override;
};

// Appends lines to one file, each flushed at once so the log survives a crash.
// A file that cannot be opened makes Write lose its lines but still answer
// true: debug logging never fails the caller. Thread-safe.
class FileLogger : public BaseLogger {
 public:
  // append: keep what the file holds; otherwise truncate it.
  FileLogger(std::string path, bool append);
  ~FileLogger() override;
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  bool Write(const LogData& data) override;
  const std::string& path() const { return path_; }

 protected:
  // Writes the text in one system call; returns the file's size afterwards
  // (0 when the file is not open). Callers hold mutex_.
  uint64_t WriteLocked(const std::string& text);
  // Closes and reopens the file, truncating it. Callers hold mutex_.
  void ReopenTruncatedLocked();

  std::mutex mutex_;
  std::string path_;

 private:
  void Open(bool append);
  int fd_ = -1;
};

// A FileLogger that, once the file grows past maxSize, renames it to
// path + ".0", shifts the older ".0".."." + (kept - 2) one number up, drops the
// oldest, and starts a fresh file. Only names of the form path + "." + number
// take part; any other file beside the log is left alone.
class SizeRotateFileLogger : public FileLogger {
 public:
  SizeRotateFileLogger(std::string path, uint64_t maxSize, uint64_t keptFiles, bool append);

  bool Write(const LogData& data) override;

 private:
  void RotateLocked();

  uint64_t maxSize_;
  uint64_t keptFiles_;
  std::string directory_;
  std::string fileName_;
};

// Passes lines of at least minLevel on to the logger behind it.
class FilteringLogger : public BaseLogger {
 public:
  FilteringLogger(int minLevel, std::shared_ptr<BaseLogger> behind);

  bool Write(const LogData& data) override;
  bool IsEnabled(int level) const override;

 private:
  int minLevel_;
  std::shared_ptr<BaseLogger> behind_;
};

// The process-wide current debug logger; a VoidLogger until one is installed.
std::shared_ptr<BaseLogger> CurrentLogger();
void InstallLogger(std::shared_ptr<BaseLogger> logger);

// Composes one debug line and writes it to its logger when the object ends.
// A message whose logger does not want its level is suppressed: it holds no
// data and streaming into it formats nothing.
class LogMessage {
 public:
  LogMessage(const std::string& tag, const char* file, int line, int level,
             std::shared_ptr<BaseLogger> logger = CurrentLogger());
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& Stream();
  // Formats into 1024 bytes; a longer result is cut to 1020 characters + "...".
  LogMessage& Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes the line now instead of at the end; later calls do nothing.
  bool Flush();

  bool suppressed() const { return data_ == nullptr; }

 private:
  std::shared_ptr<BaseLogger> logger_;
  std::unique_ptr<LogData> data_;
  bool written_ = false;
  bool answer_ = true;
};

}  // namespace belmor::log

namespace belmor::log {
// Turns the streamed expression into void so that it fits the ?: of KX_LOG.
struct Voidify {
  void operator&(std::ostream&) {}
};
}  // namespace belmor::log

// KX_LOG(DEBUG) << "[Class::Method] [" << detail << "]";
// The operands are not even evaluated when the current logger does not want the level.
#define KX_LOG_TAG(tag, level)                                                     \
  !::belmor::log::CurrentLogger()->IsEnabled(::belmor::log::level)                 \
      ? (void)0                                                                    \
      : ::belmor::log::Voidify() &                                                 \
            ::belmor::log::LogMessage((tag), __FILE__, __LINE__, ::belmor::log::level).Stream()
#define KX_LOG(level) KX_LOG_TAG("", level)

#endif  // KORVEX_LOGGING_LOG_H_
