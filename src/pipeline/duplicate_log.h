#ifndef KORVEX_PIPELINE_DUPLICATE_LOG_H_
#define KORVEX_PIPELINE_DUPLICATE_LOG_H_

#include <cstdint>
#include <ctime>
#include <functional>
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
class DuplicateLog {
 public:
  explicit DuplicateLog(std::string path);
  virtual ~DuplicateLog();

  // Reads the file; false when it is missing, empty or not a duplicate log
  // (the engine then starts an empty one). Malformed lines are skipped.
  bool Load();
  bool IsDuplicate(const std::shared_ptr<SimpleInvoice>& invoice) const;
  // Adds an entry stamped now and saves.
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
  std::string path_;
  std::multimap<std::string, DupLogEntry> entries_;
  bool dirty_ = false;
  std::function<std::time_t()> clock_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_DUPLICATE_LOG_H_
