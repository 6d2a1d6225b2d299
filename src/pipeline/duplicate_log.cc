#include "pipeline/duplicate_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include "common/durable_file.h"
#include "common/exception.h"
#include "logging/log.h"
#include "pipeline/simple_invoice.h"

namespace belmor::korvex {

namespace {

constexpr std::string_view kHeader = "kxdl-1.1";
constexpr std::string_view kLineEnd = "\r\n";
// Entries are written while younger than 30 days.
constexpr int64_t kMaxAge = 2592000;
constexpr size_t kFields = 7;

// An entry time: decimal digits only, within the range of the field.
bool ParseTime(std::string_view text, int64_t& time) {
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, time);
  return error == std::errc() && stop == end && text.front() != '-';
}

// The non-empty pieces between runs of "|" and "\r"; false unless there are
// exactly kFields of them.
bool SplitLine(std::string_view line, std::string_view (&fields)[kFields]) {
  size_t count = 0;
  size_t at = 0;
  while (at < line.size()) {
    const size_t end = line.find_first_of("|\r", at);
    const size_t stop = end == std::string_view::npos ? line.size() : end;
    if (stop > at) {
      if (count == kFields) return false;
      fields[count++] = line.substr(at, stop - at);
    }
    at = stop + 1;
  }
  return count == kFields;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

DuplicateLog::DuplicateLog(std::string path) : path_(std::move(path)) {}

DuplicateLog::~DuplicateLog() = default;

int64_t DuplicateLog::Now() const { return clock_ ? clock_() : std::time(nullptr); }

bool DuplicateLog::Load() {
  entries_.clear();
  dirty_ = false;
  inSync_ = false;

  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    KX_LOG(DEBUG) << "DuplicateLog::Load: cannot open " << path_ << ": " << std::strerror(errno);
    return false;
  }
  std::string content;
  bool complete = true;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    // Lines read before an error still count; the first Add rewrites the file.
    if (n < 0) complete = false;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }

  const std::string_view text = content;
  size_t lineEnd = text.find('\n');
  if (lineEnd < kHeader.size() || text.substr(0, kHeader.size()) != kHeader) {
    ::close(fd);
    KX_LOG(DEBUG) << "DuplicateLog::Load: no duplicate log header in " << path_;
    return false;
  }

  while (lineEnd != std::string_view::npos) {
    const size_t start = lineEnd + 1;
    lineEnd = text.find('\n', start);
    const std::string_view line = text.substr(start, lineEnd == std::string_view::npos ? lineEnd : lineEnd - start);
    std::string_view fields[kFields];
    int64_t time = 0;
    if (!SplitLine(line, fields) || !ParseTime(fields[2], time)) continue;
    std::string id(fields[0]);
    auto invoice = std::make_shared<SimpleInvoice>();
    invoice->SetID(id);
    invoice->SetAmount(std::string(fields[1]));
    invoice->SetZsr(std::string(fields[3]));
    invoice->SetEan(std::string(fields[4]));
    invoice->SetTimestamp(std::string(fields[5]));
    invoice->SetStorno(fields[6] == "1");
    entries_.emplace(std::move(id), DupLogEntry{std::move(invoice), time});
  }

  // A file that is already what a rewrite would make can be appended to
  // straight away; anything else (LF lines, a partial last line, expired or
  // malformed lines) is rewritten by the first Add.
  if (complete) {
    Written written;
    if (Render(Now(), written) == content && Remember(fd)) {
      written_ = std::move(written);
      inSync_ = true;
    }
  }
  ::close(fd);
  return true;
}

bool DuplicateLog::IsDuplicate(const std::shared_ptr<SimpleInvoice>& invoice) const {
  if (!invoice) return false;
  const auto [first, last] = entries_.equal_range(invoice->GetID());
  for (auto it = first; it != last; ++it) {
    const SimpleInvoice& known = *it->second.invoice;
    if (known.GetID() == invoice->GetID() && known.GetAmount() == invoice->GetAmount() &&
        known.GetTimestamp() == invoice->GetTimestamp() && known.GetEan() == invoice->GetEan() &&
        known.GetZsr() == invoice->GetZsr() && known.GetStorno() == invoice->GetStorno()) {
      return true;
    }
  }
  return false;
}

void DuplicateLog::Add(const std::shared_ptr<SimpleInvoice>& invoice) {
  if (!invoice) return;
  const int64_t now = Now();
  const bool appendable = !dirty_ && CanAppend(invoice->GetID(), now);
  dirty_ = true;
  // multimap places the new entry after those with the same ID, the order
  // the file keeps.
  const auto added = entries_.emplace(invoice->GetID(), DupLogEntry{std::make_shared<SimpleInvoice>(*invoice), now});
  if (appendable && AppendEntry(added->first, added->second)) {
    dirty_ = false;
    written_.any = true;
    written_.lastKey = added->first;
    written_.oldest = std::min(written_.oldest, now);
    return;
  }
  WriteFull(now);
}

bool DuplicateLog::Save() {
  if (!dirty_) return true;
  return WriteFull(Now());
}

void DuplicateLog::Reset() {
  entries_.clear();
  dirty_ = false;
  inSync_ = false;
  // What the file held is not a log of ours, so it is dropped, not kept
  // aside; the first Add writes the header.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    KX_LOG(ERROR) << "DuplicateLog::Reset: couldn't open duplicate log file: " << path_ << ": "
                  << std::strerror(errno);
    return;
  }
  ::close(fd);
}

std::string DuplicateLog::Render(int64_t now, Written& written) const {
  const int64_t limit = now - kMaxAge;
  std::string out;
  out.reserve(kHeader.size() + kLineEnd.size() + entries_.size() * 80);
  out += kHeader;
  out += kLineEnd;
  written = Written();
  const std::string* lastKey = nullptr;
  for (const auto& [id, entry] : entries_) {
    if (entry.time > limit) {
      AppendLine(out, id, entry);
      lastKey = &id;
      written.oldest = std::min(written.oldest, entry.time);
    } else {
      written.newestLeftOut = std::max(written.newestLeftOut, entry.time);
    }
  }
  if (lastKey) {
    written.any = true;
    written.lastKey = *lastKey;
  }
  return out;
}

void DuplicateLog::AppendLine(std::string& out, const std::string& id, const DupLogEntry& entry) {
  const SimpleInvoice& invoice = *entry.invoice;
  char time[24];
  const auto [end, error] = std::to_chars(time, time + sizeof time, entry.time);
  (void)error;  // 24 characters hold any 64-bit number
  out += id;
  out += '|';
  out += invoice.GetAmount();
  out += '|';
  out.append(time, end);
  out += '|';
  out += invoice.GetZsr();
  out += '|';
  out += invoice.GetEan();
  out += '|';
  out += invoice.GetTimestamp();
  out += '|';
  out += invoice.GetStorno() ? '1' : '0';
  out += kLineEnd;
}

bool DuplicateLog::WriteFull(int64_t now) {
  Written written;
  const std::string bytes = Render(now, written);
  inSync_ = false;
  try {
    common::ReplaceFileAtomically(path_, bytes);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "DuplicateLog::Save: couldn't open duplicate log file: " << e.Text();
    return false;
  }
  dirty_ = false;
  // Without the file's identity the next Add cannot prove the file is still
  // ours and rewrites it; the log itself is saved either way.
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size == static_cast<off_t>(bytes.size()) && Remember(fd)) {
      written_ = std::move(written);
      inSync_ = true;
    }
    ::close(fd);
  }
  return true;
}

bool DuplicateLog::CanAppend(const std::string& id, int64_t now) const {
  if (!inSync_) return false;
  const int64_t limit = now - kMaxAge;
  // Something written has expired, or something left out is young again:
  // a rewrite would differ beyond the new line.
  if (written_.oldest <= limit || written_.newestLeftOut > limit) return false;
  return !written_.any || id >= written_.lastKey;
}

bool DuplicateLog::AppendEntry(const std::string& id, const DupLogEntry& entry) {
  std::string line;
  AppendLine(line, id, entry);
  // No O_CREAT: a file that has gone is not the one this object wrote.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    inSync_ = false;
    return false;
  }
  if (!SameFile(fd)) {
    KX_LOG(DEBUG) << "DuplicateLog::Add: " << path_ << " was changed by someone else; rewriting it";
    ::close(fd);
    inSync_ = false;
    return false;
  }
  // One write of the whole line: a crash can leave at most a partial last
  // line, which Load skips. No fdatasync: once write returns, a crash of the
  // process loses nothing, and a power cut can only lose the last lines,
  // leaving the log as it was before them. The sync would cost 0.15 ms on an
  // idle disk but several ms while other programs write (ext4 commits their
  // data with ours), more than the whole append is allowed to take.
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  bool ok = n == static_cast<ssize_t>(line.size());
  if (!ok) {
    // Give back the file as it was; the rewrite that follows replaces it anyway.
    if (::ftruncate(fd, file_.size) != 0) {
      KX_LOG(DEBUG) << "DuplicateLog::Add: cannot cut back " << path_;
    }
    KX_LOG(ERROR) << "DuplicateLog::Add: couldn't append to duplicate log file: " << path_;
  }
  ok = ok && Remember(fd);
  if (::close(fd) != 0) ok = false;
  if (!ok) inSync_ = false;
  return ok;
}

bool DuplicateLog::SameFile(int fd) const {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  return info.st_dev == file_.device && info.st_ino == file_.inode && info.st_size == file_.size &&
         SameTime(info.st_mtim, file_.modified) && SameTime(info.st_ctim, file_.changed);
}

bool DuplicateLog::Remember(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  file_.device = info.st_dev;
  file_.inode = info.st_ino;
  file_.size = info.st_size;
  file_.modified = info.st_mtim;
  file_.changed = info.st_ctim;
  return true;
}

}  // namespace belmor::korvex
