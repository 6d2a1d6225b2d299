#include "logging/korvex_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/encoding.h"
#include "common/exception.h"
#include "common/file.h"
#include "platform/identity.h"

namespace belmor::korvex {

namespace {

constexpr char kEchoTag[] = "KorvexLogger::Log";
constexpr size_t kMaxLineLength = 1023;
constexpr uint64_t kDebugLogMaxSize = 0x100000;
constexpr uint64_t kDebugLogKeptFiles = 5;

common::Path AsDirectory(common::Path path) {
  path.MakeDirectory();
  return path;
}

// Drops a multi-byte character that a cut at the end left incomplete, so the
// line stays valid UTF-8 and is not taken for Latin-1 as a whole.
void DropIncompleteTail(std::string& text) {
  size_t i = text.size();
  size_t continuations = 0;
  while (i > 0 && continuations < 4 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80) {
    --i;
    ++continuations;
  }
  if (i == 0) return;
  const unsigned char lead = static_cast<unsigned char>(text[i - 1]);
  size_t needed = 0;
  if (lead >= 0xC0 && lead <= 0xDF) needed = 1;
  else if (lead >= 0xE0 && lead <= 0xEF) needed = 2;
  else if (lead >= 0xF0 && lead <= 0xF4) needed = 3;
  if (needed > continuations) text.resize(i - 1);
}

// The file name as one field of the line. Names come from the gate too; a
// "|" would shift the message into another field for every reader that
// splits the line (the monitor's list filters by this field), and a line
// break would start a forged report line.
std::string FileNameField(const std::string& fileName) {
  std::string field = fileName;
  for (char& c : field) {
    if (c == '|') c = '_';
    else if (c == '\r' || c == '\n') c = ' ';
  }
  return field;
}

// time|level|class|origin|code|file name|message, at most kMaxLineLength bytes.
// Time and code are written unsigned 32-bit, as the monitor reads them.
std::string FormatLine(std::time_t now, int32_t level, int32_t mclass, int32_t origin, int32_t code,
                       const std::string& fileName, const std::string& message) {
  std::string line = std::to_string(static_cast<uint32_t>(now));
  line += '|';
  line += std::to_string(level);
  line += '|';
  line += std::to_string(mclass);
  line += '|';
  line += std::to_string(origin);
  line += '|';
  line += std::to_string(static_cast<uint32_t>(code));
  line += '|';
  line += FileNameField(fileName);
  line += '|';
  line += message;
  if (line.size() > kMaxLineLength) {
    const bool utf8 = common::IsUtf8(line);
    line.resize(kMaxLineLength);
    if (utf8) DropIncompleteTail(line);
  }
  return line;
}

// The bytes of one session-file line: Latin-1, whatever the text came in.
// A line break inside a field would split the report and let a file name
// forge a report line of its own, so breaks become blanks.
std::string SessionFileBytes(const std::string& line) {
  std::string bytes = common::Utf8ToLatin1(common::ToUtf8(line));
  for (char& c : bytes) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  bytes += "\r\n";
  return bytes;
}

// One write(2) per line: O_APPEND then keeps the lines of other processes
// writing the same day's file whole as well.
bool WriteAll(int fd, const std::string& bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

log::LogMessage ErrorLine(const std::shared_ptr<log::FilteringLogger>& logger, int line) {
  return log::LogMessage("", __FILE__, line, log::ERROR, logger);
}

}  // namespace

std::string DayStamp(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char day[32];
  std::snprintf(day, sizeof day, "%d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return day;
}

std::string ClientDescription() { return "Korvex Ordiva V 5.0.3 / " + platform::ProductName(); }

// --- LogRecord --------------------------------------------------------------

LogRecord::LogRecord(int32_t level, int32_t mclass, int32_t origin, int32_t code, std::string fileName,
                     std::string message)
    : code_(code), fileName_(std::move(fileName)), message_(std::move(message)) {
  SetLevel(level);
  SetClass(mclass);
  SetOrigin(origin);
}

void LogRecord::SetLevel(int32_t level) {
  const bool known = level == mlDebug || level == mlInfo || level == mlWarning || level == mlFatal;
  level_ = known ? level : mlError;
}

void LogRecord::SetClass(int32_t mclass) {
  const bool known = mclass == mcAsas || mclass == mcModule || mclass == mcCount;
  class_ = known ? mclass : mcSystem;
}

void LogRecord::SetOrigin(int32_t origin) {
  origin_ = origin >= moPChecker && origin <= moPWriter ? origin : moPReader;
}

// --- KorvexLogger -----------------------------------------------------------

KorvexLogger::KorvexLogger(int minDebugLevel, Settings settings)
    : settings_(std::move(settings)), clock_([] { return std::time(nullptr); }) {
  debugLogPath_ = AsDirectory(settings_.appDataPath);
  debugLogPath_.SetFileName("korvex.log");
  auto file = std::make_shared<log::SizeRotateFileLogger>(debugLogPath_.ToString(), kDebugLogMaxSize,
                                                          kDebugLogKeptFiles, true);
  debugLogger_ = std::make_shared<log::FilteringLogger>(minDebugLevel, std::move(file));
  log::InstallLogger(debugLogger_);
}

KorvexLogger::~KorvexLogger() {
  if (sessionFd_ >= 0) ::close(sessionFd_);
}

void KorvexLogger::Log(int32_t level, int32_t mclass, int32_t origin, int32_t code, const std::string& fileName,
                       const std::string& message) {
  if (level == mlDebug && !(settings_.debug && settings_.debug())) return;

  const std::time_t now = clock_();
  const std::string line = FormatLine(now, level, mclass, origin, code, fileName, message);
  WriteSessionLine(DayStamp(now), line);

  log::LogMessage(kEchoTag, __FILE__, __LINE__, log::FATAL, debugLogger_).Stream() << line;

  std::shared_ptr<IKorvexSystemLogger> sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    sink = eventSink_;
  }
  const bool forward =
      origin < moPDownloader || (settings_.responseMessagesEnabled && settings_.responseMessagesEnabled());
  if (sink && forward) sink->Log(level, mclass, origin, code, fileName, message);
}

void KorvexLogger::WriteSessionLine(const std::string& day, const std::string& line) {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  common::Path path;
  try {
    const common::Path logs = AsDirectory(settings_.logsPath ? settings_.logsPath() : common::Path());
    path = logs;
    path.SetFileName(day + ".log");
    if (path != sessionPath_) {
      // The reports name invoice files and patients' data: the user's alone,
      // whatever the umask.
      common::File(logs).CreateDirectories(common::kPrivateDirectoryMode);
      CloseSessionFile();
      sessionFd_ = ::open(path.ToString().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, common::kPrivateFileMode);
      if (sessionFd_ < 0) common::RaiseFileError(errno, path.ToString());
      struct stat info {};
      if (::fstat(sessionFd_, &info) == 0 && (info.st_mode & 07777) != common::kPrivateFileMode &&
          ::fchmod(sessionFd_, common::kPrivateFileMode) != 0) {
        ErrorLine(debugLogger_, __LINE__).Stream()
            << "[KorvexLogger::Log][can't restrict session log][" << path.ToString() << "]";
      }
      if (!WriteAll(sessionFd_, SessionFileBytes("KXP: " + ClientDescription()))) {
        common::RaiseFileError(errno, path.ToString());
      }
    }
  } catch (const common::Exception& e) {
    ErrorLine(debugLogger_, __LINE__).Stream()
        << "[KorvexLogger::Log][failed to create session log][" << e.Text() << "]";
    CloseSessionFile();
  } catch (...) {
    ErrorLine(debugLogger_, __LINE__).Stream() << "[KorvexLogger::Log][failed to create session log]";
    CloseSessionFile();
  }
  // Under the lock, so that the owner hears the days in the order the lines
  // were written.
  if (settings_.dayChanged) settings_.dayChanged(day);

  if (sessionFd_ < 0) return;
  if (WriteAll(sessionFd_, SessionFileBytes(line))) {
    sessionPath_ = path;
  } else {
    // A failed write (disk full) must not silence the rest of the day: the
    // next report opens the file afresh.
    ErrorLine(debugLogger_, __LINE__).Stream()
        << "[KorvexLogger::Log][can't write session log][" << path.ToString() << "]";
    CloseSessionFile();
  }
}

void KorvexLogger::CloseSessionFile() {
  if (sessionFd_ >= 0) ::close(sessionFd_);
  sessionFd_ = -1;
  // Whatever was open is gone, so the next report must open the file again.
  sessionPath_ = common::Path();
}

void KorvexLogger::Log(const std::shared_ptr<LogRecord>& record) {
  if (!record) return;
  Log(record->Level(), record->Class(), record->Origin(), record->Code(), record->FileName(), record->Message());
}

void KorvexLogger::SetEventSink(std::shared_ptr<IKorvexSystemLogger> sink) {
  std::lock_guard<std::mutex> lock(sinkMutex_);
  eventSink_ = std::move(sink);
}

common::Path KorvexLogger::GetSessionPath() const {
  std::lock_guard<std::mutex> lock(sessionMutex_);
  return sessionPath_;
}

std::string KorvexLogger::GetMessageText(int code) { return ProcessMessageCatalogue().GetMessageText(code); }

void KorvexLogger::RegisterMessageTable(const std::string& language, MessageTable table) {
  ProcessMessageCatalogue().RegisterMessageTable(language, std::move(table));
}

void KorvexLogger::SelectMessageTable(const std::string& language) {
  ProcessMessageCatalogue().SelectMessageTable(language);
}

}  // namespace belmor::korvex
