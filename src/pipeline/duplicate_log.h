#ifndef KORVEX_PIPELINE_DUPLICATE_LOG_H_
#define KORVEX_PIPELINE_DUPLICATE_LOG_H_

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace belmor::korvex {

class SimpleInvoice;

// One invoice sent: the six values the duplicate check compares and when it
// was added; the summary's other fields are not kept. The values share one
// allocation, each behind its length, because a log holds tens of thousands
// of entries in a process that must stay small.
class DupLogEntry {
 public:
  DupLogEntry(const SimpleInvoice& invoice, int64_t time);
  DupLogEntry(std::string_view id, std::string_view amount, std::string_view zsr, std::string_view ean,
              std::string_view timestamp, bool storno, int64_t time);

  std::string_view GetID() const;
  std::string_view GetAmount() const;
  std::string_view GetZsr() const;
  std::string_view GetEan() const;
  std::string_view GetTimestamp() const;
  bool GetStorno() const;
  int64_t GetTime() const { return time_; }
  // Whether the summary has the same six values (exact string comparison).
  bool Matches(const SimpleInvoice& invoice) const;

 private:
  // The value at index in line order.
  std::string_view Value(size_t index) const;

  // The values in line order (ID, Amount, zsr, ean, Timestamp), each as a
  // variable-length count of bytes followed by the bytes, then the storno
  // flag as one byte. Lengths rather than separators: a value may hold any
  // byte.
  std::unique_ptr<char[]> values_;
  int64_t time_;
};

// The summaries of the invoices sent in the last 30 days, kept in the work
// directory's "korvex.log" ("kxdl-1.1", one CR LF line per entry), so that an
// invoice is never sent twice where the system could know better. The file
// is only ever replaced whole (or extended by one complete line), so a crash
// leaves the old or the new log, never a truncated one. No lock: the
// validation and send steps of one run use it one after another.
//
// A full rewrite writes the entries younger than 30 days in ID order. It
// costs tens of milliseconds for a large log, so Add appends the new line
// instead whenever the file holds exactly the lines a rewrite would write,
// whatever their order: nothing written has expired, nothing left out is
// young again, and the file is still the one this object last wrote.
// Invoices arrive in directory order, not ID order, so the lines of a file
// stand in any order; Load sorts them by ID and keeps equal IDs in file
// order, the order Add gives them too.
class DuplicateLog {
 public:
  explicit DuplicateLog(std::string path);
  virtual ~DuplicateLog();

  // Reads the file; false when it is missing, empty or not a duplicate log
  // (the engine then starts an empty one). Malformed lines are skipped.
  // Replaces whatever the log held.
  bool Load();
  // Whether an entry has the summary's six compared values. A summary whose
  // ID is empty or blank identifies no invoice and is never a duplicate.
  bool IsDuplicate(const std::shared_ptr<SimpleInvoice>& invoice) const;
  // Adds an entry stamped now and saves; appended lines are flushed to the
  // disk before it answers. The log keeps its own copy of the compared
  // values, so later changes to the caller's object do not reach it. A
  // summary without an ID is not recorded (true). False when the write did not reach the disk: the entry is known to this
  // process but a restart would forget it. The log stays dirty and the next
  // Add or Save writes it again.
  bool Add(const std::shared_ptr<SimpleInvoice>& invoice);
  // Writes what the log holds; true when it reached the disk without error.
  bool Save();
  // Takes in the entries of another log (the one of a work area left
  // behind) that this one lacks; of an entry both hold, the later time
  // counts, so it is kept as long as either would keep it. Then writes the
  // whole log anew, atomically and flushed; false when that failed: the
  // entries are in memory all the same and the next Add or Save writes them.
  bool Merge(const DuplicateLog& other);
  // Empties the log and starts an empty file (after a Load that failed). A
  // file with content is first kept as "<path>.damaged-YYYYMMDD-HHMMSS"
  // (local time, "-1", "-2" ... added when taken); when it cannot be kept
  // it is left alone and the first Add replaces it if it can.
  void Reset();

  const std::string& Path() const { return path_; }
  // In ID order, equal IDs in the order they were loaded or added.
  const std::vector<DupLogEntry>& Entries() const { return entries_; }
  // For tests: the clock that stamps and ages entries.
  void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  // What the file holds when it is in sync: enough to tell whether the next
  // entry can be appended.
  struct Written {
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
  static void AppendLine(std::string& out, const DupLogEntry& entry);
  bool WriteFull(int64_t now);
  bool KeepDamaged();
  bool CanAppend(int64_t now) const;
  bool AppendEntry(const DupLogEntry& entry);
  bool SameFile(int fd) const;
  bool Remember(int fd);

  std::string path_;
  std::vector<DupLogEntry> entries_;
  bool dirty_ = false;
  std::function<std::time_t()> clock_;
  // The file on disk holds the header and one CR LF line for each entry that
  // was young at the last write, as Render gave them or in another order;
  // then written_ and file_ describe it.
  bool inSync_ = false;
  Written written_;
  FileState file_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_DUPLICATE_LOG_H_
