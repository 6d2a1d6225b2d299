#include "pipeline/duplicate_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <iterator>
#include <string_view>

#include "common/crash_point.h"
#include "common/durable_file.h"
#include "common/exception.h"
#include "common/file.h"
#include "logging/log.h"
#include "pipeline/simple_invoice.h"

namespace belmor::korvex {

namespace {

constexpr std::string_view kHeader = "kxdl-1.1";
constexpr std::string_view kLineEnd = "\r\n";
// Entries are written while younger than 30 days.
constexpr int64_t kMaxAge = 2592000;
constexpr size_t kFields = 7;

// An invoice ID that is empty or only blanks identifies no invoice: a keys
// stylesheet that finds no ID gives one, for every invoice alike.
bool IsIdentity(std::string_view id) { return id.find_first_not_of(" \t\r\n") != std::string_view::npos; }

// The name a damaged log is kept under: local time, so it sorts and reads
// as the practice's clock showed it.
std::string DamagedName(const std::string& path, std::time_t now) {
  std::tm local{};
  char stamp[32] = "unknown-time";
  if (::localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return path + ".damaged-" + stamp;
}

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

// A value as a field of its line. Lines are split at "|", CR and LF, and
// empty fields vanish, so a value holding one of these characters, or an
// empty value, would not read back: the entry of an invoice that was sent
// would be lost at the next start. Such characters (and "%", which starts
// their codes) are written as "%7C", "%0D", "%0A" and "%25", an empty value
// as a lone "%". Any other value is written as it is.
void AppendField(std::string& out, std::string_view value) {
  if (value.empty()) {
    out += '%';
    return;
  }
  for (const char c : value) {
    switch (c) {
      case '%': out += "%25"; break;
      case '|': out += "%7C"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      default: out += c;
    }
  }
}

// The value of a field, as AppendField wrote it. A "%" that starts none of
// its codes stands for itself.
std::string FieldValue(std::string_view field) {
  if (field == "%") return std::string();
  std::string value;
  value.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size()) {
      const std::string_view code = field.substr(i + 1, 2);
      const char c = code == "25" ? '%' : code == "7C" ? '|' : code == "0D" ? '\r' : code == "0A" ? '\n' : '\0';
      if (c != '\0') {
        value += c;
        i += 2;
        continue;
      }
    }
    value += field[i];
  }
  return value;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Lengths of the packed values: seven bits a byte, low bits first, the high
// bit set on every byte but the last. Values of up to 127 bytes take one.
size_t LengthSize(size_t length) {
  size_t size = 1;
  while (length >= 0x80) {
    length >>= 7;
    ++size;
  }
  return size;
}

char* PutValue(char* out, std::string_view value) {
  size_t length = value.size();
  while (length >= 0x80) {
    *out++ = static_cast<char>((length & 0x7f) | 0x80);
    length >>= 7;
  }
  *out++ = static_cast<char>(length);
  return std::copy(value.begin(), value.end(), out);
}

// The value at in; in moves past it.
std::string_view TakeValue(const char*& in) {
  size_t length = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(*in++);
    length |= static_cast<size_t>(byte & 0x7f) << shift;
    if (byte < 0x80) break;
  }
  const std::string_view value(in, length);
  in += length;
  return value;
}

constexpr size_t kPackedValues = 5;

const char* SkipValues(const char* in, size_t count) {
  for (size_t i = 0; i < count; ++i) TakeValue(in);
  return in;
}

bool ByID(const DupLogEntry& a, const DupLogEntry& b) { return a.GetID() < b.GetID(); }

bool SameValues(const DupLogEntry& a, const DupLogEntry& b) {
  return a.GetID() == b.GetID() && a.GetAmount() == b.GetAmount() && a.GetZsr() == b.GetZsr() &&
         a.GetEan() == b.GetEan() && a.GetTimestamp() == b.GetTimestamp() && a.GetStorno() == b.GetStorno();
}

DupLogEntry WithTime(const DupLogEntry& entry, int64_t time) {
  return DupLogEntry(entry.GetID(), entry.GetAmount(), entry.GetZsr(), entry.GetEan(), entry.GetTimestamp(),
                     entry.GetStorno(), time);
}

}  // namespace

DupLogEntry::DupLogEntry(const SimpleInvoice& invoice, int64_t time)
    : DupLogEntry(invoice.GetID(), invoice.GetAmount(), invoice.GetZsr(), invoice.GetEan(), invoice.GetTimestamp(),
                  invoice.GetStorno(), time) {}

DupLogEntry::DupLogEntry(std::string_view id, std::string_view amount, std::string_view zsr, std::string_view ean,
                         std::string_view timestamp, bool storno, int64_t time)
    : time_(time) {
  const std::string_view values[kPackedValues] = {id, amount, zsr, ean, timestamp};
  size_t size = 1;
  for (const std::string_view value : values) size += LengthSize(value.size()) + value.size();
  values_ = std::make_unique_for_overwrite<char[]>(size);
  char* out = values_.get();
  for (const std::string_view value : values) out = PutValue(out, value);
  *out = storno ? '1' : '0';
}

std::string_view DupLogEntry::Value(size_t index) const {
  const char* in = SkipValues(values_.get(), index);
  return TakeValue(in);
}

std::string_view DupLogEntry::GetID() const { return Value(0); }
std::string_view DupLogEntry::GetAmount() const { return Value(1); }
std::string_view DupLogEntry::GetZsr() const { return Value(2); }
std::string_view DupLogEntry::GetEan() const { return Value(3); }
std::string_view DupLogEntry::GetTimestamp() const { return Value(4); }

bool DupLogEntry::GetStorno() const { return *SkipValues(values_.get(), kPackedValues) == '1'; }

bool DupLogEntry::Matches(const SimpleInvoice& invoice) const {
  const char* in = values_.get();
  return TakeValue(in) == invoice.GetID() && TakeValue(in) == invoice.GetAmount() &&
         TakeValue(in) == invoice.GetZsr() && TakeValue(in) == invoice.GetEan() &&
         TakeValue(in) == invoice.GetTimestamp() && (*in == '1') == invoice.GetStorno();
}

DuplicateLog::DuplicateLog(std::string path) : path_(std::move(path)) {}

DuplicateLog::~DuplicateLog() = default;

int64_t DuplicateLog::Now() const { return clock_ ? clock_() : std::time(nullptr); }

bool DuplicateLog::Load() {
  entries_ = std::vector<DupLogEntry>();
  dirty_ = false;
  inSync_ = false;
  // A rewrite a crash cut off leaves its temporary; appending never removes it.
  common::RemoveStaleReplacements(path_);

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

  // The file can be appended to straight away when it is exactly the lines
  // of what was loaded, in any order: a restarted engine then goes on
  // appending. Anything else (LF lines, a partial last line, malformed
  // lines) is rewritten by the first Add, and so is a file with an expired
  // line, which shows in written.oldest.
  bool exact = complete && lineEnd != std::string_view::npos &&
               text.substr(kHeader.size(), lineEnd + 1 - kHeader.size()) == kLineEnd;
  Written written;
  std::string rendered;
  entries_.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
  while (lineEnd != std::string_view::npos && lineEnd + 1 < text.size()) {
    const size_t start = lineEnd + 1;
    lineEnd = text.find('\n', start);
    const size_t stop = lineEnd == std::string_view::npos ? text.size() : lineEnd;
    const std::string_view line = text.substr(start, stop - start);
    std::string_view fields[kFields];
    int64_t time = 0;
    if (!SplitLine(line, fields) || !ParseTime(fields[2], time)) {
      exact = false;
      continue;
    }
    std::string_view values[] = {fields[0], fields[1], fields[3], fields[4], fields[5]};
    std::string decoded[std::size(values)];
    for (size_t i = 0; i < std::size(values); ++i) {
      if (values[i].find('%') == std::string_view::npos) continue;
      decoded[i] = FieldValue(values[i]);
      values[i] = decoded[i];
    }
    if (!IsIdentity(values[0])) {
      exact = false;
      continue;
    }
    entries_.emplace_back(values[0], values[1], values[2], values[3], values[4], fields[6] == "1", time);
    if (exact) {
      rendered.clear();
      AppendLine(rendered, entries_.back());
      exact = text.substr(start, stop + 1 - start) == rendered;
      written.oldest = std::min(written.oldest, time);
    }
  }
  // Equal IDs keep their file order.
  if (!std::is_sorted(entries_.begin(), entries_.end(), ByID)) {
    std::stable_sort(entries_.begin(), entries_.end(), ByID);
  }

  // A log of an older version, or one copied in, may be readable by others.
  struct stat info {};
  if (::fstat(fd, &info) == 0 && (info.st_mode & 0777) != common::kPrivateFileMode && ::fchmod(fd, common::kPrivateFileMode) != 0) {
    KX_LOG(DEBUG) << "DuplicateLog::Load: cannot make " << path_ << " private: " << std::strerror(errno);
  }
  if (exact && Remember(fd) && file_.size == static_cast<off_t>(content.size())) {
    written_ = written;
    inSync_ = true;
  }
  ::close(fd);
  return true;
}

bool DuplicateLog::IsDuplicate(const std::shared_ptr<SimpleInvoice>& invoice) const {
  if (!invoice || !IsIdentity(invoice->GetID())) return false;
  const std::string_view id = invoice->GetID();
  auto it = std::lower_bound(entries_.begin(), entries_.end(), id,
                             [](const DupLogEntry& entry, std::string_view key) { return entry.GetID() < key; });
  for (; it != entries_.end() && it->GetID() == id; ++it) {
    if (it->Matches(*invoice)) return true;
  }
  return false;
}

bool DuplicateLog::Add(const std::shared_ptr<SimpleInvoice>& invoice) {
  // Nothing to record, so nothing failed; a write that failed before still
  // gets its retry.
  if (!invoice || !IsIdentity(invoice->GetID())) {
    if (dirty_) Save();
    return true;
  }
  const int64_t now = Now();
  const bool appendable = !dirty_ && CanAppend(now);
  dirty_ = true;
  // After the entries with the same ID, the order the file keeps.
  const std::string_view id = invoice->GetID();
  const auto at = std::upper_bound(entries_.begin(), entries_.end(), id,
                                   [](std::string_view key, const DupLogEntry& entry) { return key < entry.GetID(); });
  const auto added = entries_.emplace(at, *invoice, now);
  if (appendable && AppendEntry(*added)) {
    dirty_ = false;
    written_.oldest = std::min(written_.oldest, now);
    return true;
  }
  return WriteFull(now);
}

bool DuplicateLog::Save() {
  if (!dirty_) return true;
  return WriteFull(Now());
}

bool DuplicateLog::Merge(const DuplicateLog& other) {
  std::vector<DupLogEntry> added;
  for (const DupLogEntry& entry : other.entries_) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), entry, ByID);
    while (it != entries_.end() && it->GetID() == entry.GetID() && !SameValues(*it, entry)) ++it;
    if (it != entries_.end() && it->GetID() == entry.GetID()) {
      if (entry.GetTime() > it->GetTime()) *it = WithTime(entry, entry.GetTime());
    } else {
      added.push_back(WithTime(entry, entry.GetTime()));
    }
  }
  // One merge of two sorted runs, not an insertion each: logs hold tens of
  // thousands of entries. Of equal IDs this log's own come first.
  if (!added.empty()) {
    std::vector<DupLogEntry> merged;
    merged.reserve(entries_.size() + added.size());
    std::merge(std::make_move_iterator(entries_.begin()), std::make_move_iterator(entries_.end()),
               std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()),
               std::back_inserter(merged), ByID);
    entries_ = std::move(merged);
  }
  dirty_ = true;
  return WriteFull(Now());
}

void DuplicateLog::Reset() {
  entries_ = std::vector<DupLogEntry>();
  dirty_ = false;
  inSync_ = false;
  // A file with content may be a log whose header was damaged, or one this
  // process could not read: its lines may be the only record of invoices
  // already sent, so it is kept aside for whoever looks into it, never
  // emptied. When it cannot be kept it stays as it is.
  struct stat info {};
  if (::stat(path_.c_str(), &info) == 0 && info.st_size > 0) {
    if (!KeepDamaged()) return;
  }
  // The first Add writes the header.
  common::DurableStep("create", path_);
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, common::kPrivateFileMode);
  if (fd < 0) {
    KX_LOG(ERROR) << "DuplicateLog::Reset: couldn't open duplicate log file: " << path_ << ": "
                  << std::strerror(errno);
    return;
  }
  ::close(fd);
}

bool DuplicateLog::KeepDamaged() {
  const std::string base = DamagedName(path_, Now());
  std::string kept = base;
  try {
    // Two resets within a second must not replace the first one's copy.
    for (int n = 1; !common::RenameNoReplace(path_, kept); ++n) kept = base + "-" + std::to_string(n);
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "DuplicateLog::Reset: couldn't keep damaged duplicate log file " << path_
                  << " aside, leaving it as it is: " << e.Text();
    return false;
  }
  // An older version wrote the log readable by others; the copy is private too.
  if (::chmod(kept.c_str(), common::kPrivateFileMode) != 0) {
    KX_LOG(DEBUG) << "DuplicateLog::Reset: cannot make " << kept << " private: " << std::strerror(errno);
  }
  const size_t slash = path_.find_last_of('/');
  common::SyncDirectory(slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash));
  KX_LOG(WARN) << "DuplicateLog::Reset: " << path_ << " is no duplicate log; kept as " << kept
               << ", a new log starts";
  return true;
}

std::string DuplicateLog::Render(int64_t now, Written& written) const {
  const int64_t limit = now - kMaxAge;
  std::string out;
  out.reserve(kHeader.size() + kLineEnd.size() + entries_.size() * 80);
  out += kHeader;
  out += kLineEnd;
  written = Written();
  for (const DupLogEntry& entry : entries_) {
    if (entry.GetTime() > limit) {
      AppendLine(out, entry);
      written.oldest = std::min(written.oldest, entry.GetTime());
    } else {
      written.newestLeftOut = std::max(written.newestLeftOut, entry.GetTime());
    }
  }
  return out;
}

void DuplicateLog::AppendLine(std::string& out, const DupLogEntry& entry) {
  char time[24];
  const auto [end, error] = std::to_chars(time, time + sizeof time, entry.GetTime());
  (void)error;  // 24 characters hold any 64-bit number
  AppendField(out, entry.GetID());
  out += '|';
  AppendField(out, entry.GetAmount());
  out += '|';
  out.append(time, end);
  out += '|';
  AppendField(out, entry.GetZsr());
  out += '|';
  AppendField(out, entry.GetEan());
  out += '|';
  AppendField(out, entry.GetTimestamp());
  out += '|';
  out += entry.GetStorno() ? '1' : '0';
  out += kLineEnd;
}

bool DuplicateLog::WriteFull(int64_t now) {
  Written written;
  const std::string bytes = Render(now, written);
  inSync_ = false;
  try {
    common::ReplaceFileAtomically(path_, bytes, common::kPrivateFileMode);
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

bool DuplicateLog::CanAppend(int64_t now) const {
  if (!inSync_) return false;
  const int64_t limit = now - kMaxAge;
  // Something written has expired, or something left out is young again:
  // a rewrite would hold other lines than the file and the new one.
  return written_.oldest > limit && written_.newestLeftOut <= limit;
}

bool DuplicateLog::AppendEntry(const DupLogEntry& entry) {
  std::string line;
  AppendLine(line, entry);
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
  // line, which Load skips. The line is on the disk before Add answers: the
  // invoice has been sent, and a power cut that forgot it would let the next
  // run send it again. That costs a few ms while other programs write to
  // the disk, worth it for an invoice.
  ssize_t n;
  common::DurableStep("write", path_);
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  bool ok = n == static_cast<ssize_t>(line.size());
  if (ok) common::DurableStep("fdatasync", path_);
  if (ok && ::fdatasync(fd) != 0) {
    // The line may or may not have reached the disk; the rewrite that
    // follows writes the whole log again, flushed.
    KX_LOG(ERROR) << "DuplicateLog::Add: couldn't flush duplicate log file: " << path_ << ": "
                  << std::strerror(errno);
    ok = false;
  } else if (!ok) {
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
