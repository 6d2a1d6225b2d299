#include "logging/log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iomanip>
#include <vector>

namespace belmor::log {

const char* LevelName(int level) {
  switch (level) {
    case TRACE: return "TRACE";
    case DEBUG: return "DEBUG";
    case INFO: return "INFO";
    case WARN: return "WARN";
    case ERROR: return "ERROR";
    case FATAL: return "FATAL";
    default: return "OTHER";
  }
}

bool BaseLogger::IsEnabled(int) const { return true; }

bool VoidLogger::Write(const LogData&) { return true; }
bool VoidLogger::IsEnabled(int) const { return false; }

// --- FileLogger -------------------------------------------------------------

FileLogger::FileLogger(std::string path, bool append) : path_(std::move(path)) { Open(append); }

FileLogger::~FileLogger() {
  if (fd_ >= 0) ::close(fd_);
}

void FileLogger::Open(bool append) {
  // O_APPEND keeps lines of other processes writing the same file from
  // overwriting each other; O_CLOEXEC keeps started commands off the file.
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (append ? 0 : O_TRUNC);
  // Owner only: debug lines name invoice files, which often carry a patient's name.
  fd_ = ::open(path_.c_str(), flags, 0600);
}

uint64_t FileLogger::WriteLocked(const std::string& text) {
  if (fd_ < 0) return 0;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // a full disk loses the line; debug logging must not fail the caller
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void FileLogger::ReopenTruncatedLocked() {
  if (fd_ >= 0) ::close(fd_);
  Open(false);
}

bool FileLogger::Write(const LogData& data) {
  std::string text = data.stream.str();
  std::lock_guard<std::mutex> lock(mutex_);
  WriteLocked(text);
  return true;
}

// --- SizeRotateFileLogger ---------------------------------------------------

SizeRotateFileLogger::SizeRotateFileLogger(std::string path, uint64_t maxSize, uint64_t keptFiles,
                                           bool append)
    : FileLogger(std::move(path), append), maxSize_(maxSize), keptFiles_(keptFiles) {
  size_t slash = path_.find_last_of('/');
  if (slash == std::string::npos) {
    directory_ = ".";
    fileName_ = path_;
  } else {
    directory_ = slash == 0 ? "/" : path_.substr(0, slash);
    fileName_ = path_.substr(slash + 1);
  }
}

bool SizeRotateFileLogger::Write(const LogData& data) {
  std::string text = data.stream.str();
  std::lock_guard<std::mutex> lock(mutex_);
  if (WriteLocked(text) > maxSize_) RotateLocked();
  return true;
}

namespace {

// The rotation number of a file called prefix + digits, or -1 for any other name.
long long RotationNumber(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
  long long n = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    char c = name[i];
    if (c < '0' || c > '9') return -1;
    if (n > 1000000000LL) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

void SizeRotateFileLogger::RotateLocked() {
  // Rename and delete failures are ignored: at worst the log grows or an old
  // file stays, and logging goes on.
  const std::string prefix = fileName_ + ".";
  const long long kept = static_cast<long long>(keptFiles_);
  std::vector<std::string> doomed;
  if (DIR* dir = ::opendir(directory_.c_str())) {
    while (struct dirent* entry = ::readdir(dir)) {
      long long n = RotationNumber(entry->d_name, prefix);
      if (n >= 0 && n >= kept - 1) doomed.push_back(directory_ + "/" + entry->d_name);
    }
    ::closedir(dir);
  }
  for (const std::string& f : doomed) ::unlink(f.c_str());
  for (long long n = kept - 1; n >= 1; --n) {
    std::string from = path_ + "." + std::to_string(n - 1);
    std::string to = path_ + "." + std::to_string(n);
    ::rename(from.c_str(), to.c_str());
  }
  std::string first = path_ + ".0";
  ::rename(path_.c_str(), first.c_str());
  ReopenTruncatedLocked();
}

// --- FilteringLogger --------------------------------------------------------

FilteringLogger::FilteringLogger(int minLevel, std::shared_ptr<BaseLogger> behind)
    : minLevel_(minLevel), behind_(std::move(behind)) {}

bool FilteringLogger::Write(const LogData& data) {
  if (data.level < minLevel_ || !behind_) return true;
  return behind_->Write(data);
}

bool FilteringLogger::IsEnabled(int level) const {
  return level >= minLevel_ && behind_ && behind_->IsEnabled(level);
}

// --- current logger ---------------------------------------------------------

namespace {
std::mutex& CurrentMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<BaseLogger>& CurrentSlot() {
  static std::shared_ptr<BaseLogger> slot;
  return slot;
}
}  // namespace

std::shared_ptr<BaseLogger> CurrentLogger() {
  std::lock_guard<std::mutex> lock(CurrentMutex());
  auto& slot = CurrentSlot();
  if (!slot) slot = std::make_shared<VoidLogger>();
  return slot;
}

void InstallLogger(std::shared_ptr<BaseLogger> logger) {
  std::lock_guard<std::mutex> lock(CurrentMutex());
  CurrentSlot() = std::move(logger);
}

// --- LogMessage -------------------------------------------------------------

namespace {
std::ostream& NullStream() {
  // A stream without buffer is in a failed state, so every << is a no-op.
  thread_local std::ostream null(nullptr);
  return null;
}
}  // namespace

LogMessage::LogMessage(const std::string& tag, const char* file, int line, int level,
                       std::shared_ptr<BaseLogger> logger)
    : logger_(std::move(logger)) {
  if (!logger_ || !logger_->IsEnabled(level)) return;
  data_ = std::make_unique<LogData>();
  LogData& d = *data_;
  d.level = level;
  d.file = file ? file : "";
  size_t cut = d.file.find_last_of('/');
  if (cut == std::string::npos) cut = d.file.find_last_of('\\');
  d.baseName = cut == std::string::npos ? d.file : d.file.substr(cut + 1);
  d.line = line;
  d.tag = tag;
  d.time = std::time(nullptr);
  localtime_r(&d.time, &d.localTime);

  char stamp[64];
  size_t n = std::strftime(stamp, sizeof stamp, "[%d.%m.%y %X] ", &d.localTime);
  d.stream.write(stamp, static_cast<std::streamsize>(n));
  d.stream << std::left << std::setw(10) << d.tag << " " << std::setw(5) << LevelName(level)
           << std::right << " - " << d.number << " " << d.baseName << "(" << d.line << "): ";
}

LogMessage::~LogMessage() { Flush(); }

std::ostream& LogMessage::Stream() { return data_ ? data_->stream : NullStream(); }

LogMessage& LogMessage::Printf(const char* format, ...) {
  if (!data_) return *this;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n < 0) return *this;
  if (static_cast<size_t>(n) >= sizeof buffer) {
    data_->stream.write(buffer, 1020);
    data_->stream << "...";
  } else {
    data_->stream.write(buffer, n);
  }
  return *this;
}

bool LogMessage::Flush() {
  if (written_ || !data_) return answer_;
  written_ = true;
  std::string text = data_->stream.str();
  if (text.empty() || text.back() != '\n') data_->stream << '\n';
  answer_ = logger_->Write(*data_);
  return answer_;
}

}  // namespace belmor::log
