#ifndef KORVEX_PIPELINE_DUPLICATE_LOG_H_
#define KORVEX_PIPELINE_DUPLICATE_LOG_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>

namespace belmor::korvex {

class SimpleInvoice;

// One invoice sent: its summary and when it was added.
struct DupLogEntry {
  std::shared_ptr<SimpleInvoice> invoice;
  int64_t time = 0;
};

// The summaries of the invoices sent in the last 30 days, kept in the work
// directory's "korvex.log" ("kxdl-1.1", one CR LF line per entry in ID order),
// so that an invoice is never sent twice where the system could know better.
// The file is only ever replaced whole (or extended by one complete line), so
// a crash leaves the old or the new log, never a truncated one. No lock: the
// validation and send steps of one run use it one after another.
//
// Every write leaves the file exactly as a full rewrite of the entries younger
// than 30 days would. A full rewrite of a large log costs tens of
// milliseconds, so Add appends the new line instead whenever that gives the
// same bytes: the new entry sorts last, nothing written has expired, and the
// file is still the one this object last wrote.
class DuplicateLog {
 public:
  explicit DuplicateLog(std::string path);
  virtual ~DuplicateLog();

  // Reads the file; false when it is missing, empty or not a duplicate log
  // (the engine then starts an empty one). Malformed lines are skipped.
  // Replaces whatever the log held.
  bool Load();
  bool IsDuplicate(const std::shared_ptr<SimpleInvoice>& invoice) const;
  // Adds an entry stamped now and saves. The log keeps its own copy of the
  // summary, so later changes to the caller's object do not reach it.
  void Add(const std::shared_ptr<SimpleInvoice>& invoice);
  // Writes what the log holds; true when it reached the disk without error.
  bool Save();
  // Empties the log and the file (a foreign or broken file).
  void Reset();

  const std::string& Path() const { return path_; }
  const std::multimap<std::string, DupLogEntry>& Entries() const { return entries_; }
  // For tests: the clock that stamps and ages entries.
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  // What the file holds when it is in sync: enough to tell whether the next
  // entry can be appended.
  struct Written {
    bool any = false;
    std::string lastKey;  // greatest ID written
    int64_t oldest = std::numeric_limits<int64_t>::max();
    // The youngest entry in memory left out for its age; a clock set back
    // can bring it inside the window again.
    int64_t newestLeftOut = std::numeric_limits<int64_t>::min();
  };
  // Identity of the file as this object left it; a change by anyone else
  // (another process's rewrite, an editor) shows in one of these.
  struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
  };

  int64_t Now() const;
  // The full file for the time now, and what it holds.
  std::string Render(int64_t now, Written& written) const;
  static void AppendLine(std::string& out, const std::string& id, const DupLogEntry& entry);
  bool WriteFull(int64_t now);
  bool CanAppend(const std::string& id, int64_t now) const;
  bool AppendEntry(const std::string& id, const DupLogEntry& entry);
  bool SameFile(int fd) const;
  bool Remember(int fd);

  std::string path_;
  std::multimap<std::string, DupLogEntry> entries_;
  bool dirty_ = false;
  std::function<std::time_t()> clock_;
  // The file on disk is exactly what Render gave at the last write, plus the
  // lines appended since; then written_ and file_ describe it.
  bool inSync_ = false;
  Written written_;
  FileState file_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_DUPLICATE_LOG_H_
