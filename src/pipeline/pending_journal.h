#ifndef KORVEX_PIPELINE_PENDING_JOURNAL_H_
#define KORVEX_PIPELINE_PENDING_JOURNAL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace belmor::korvex {

// The uploads under way, on the disk: "korvex.pending" beside the duplicate
// log. An upload is recorded before its request goes out and completed once
// its answer is in, each line flushed to disk before the program goes on. A
// line begun and never completed is an upload a crash cut off: the gate may
// or may not have it, so the next send step holds that invoice for the
// practice instead of sending it again. Invoices without an ID never reach
// the duplicate log, so the key is the work file's name and the SHA-256 of
// its bytes, not the summary.
//
// Format: the line "kxpj-1", then one record per line (CR LF; LF is read
// too), fields separated by "|", with "%", "|", CR and LF in a field written
// as "%25", "%7C", "%0D", "%0A":
//   P|time|sha256|name          the upload is about to go out
//   S|time|sha256|name          the gate took it
//   D|time|sha256|name          a definite answer: the gate did not take it
//   H|time|sha256|name|path     its fate is unknown; the file was moved to
//                               path (relative to the work directory, "/")
// A later record of a name and hash replaces an earlier one. Unknown kinds
// and malformed lines are skipped.
//
// The order of the work area's durable writes in a send, each on the disk
// (fdatasync, and the directory synced for a new name) before the next step:
//   1. "P" in this journal                before the upload's request goes out;
//   2. the gate's answer; on "taken": the duplicate log's line (korvex.log),
//   3. then "S" here,                     before the file leaves work "output";
//   4. the move to the archive or the delete, last.
//   On an unknown outcome: "H" here (the intended path) first, then the move
//   to err/DAY/ (and "H" again if the file got another name there); a held
//   record whose file is still in "output" is moved at the next start.
// A crash between 1 and 2 leaves "P" open: held. Between 2 and 3 the
// duplicate log knows it: passed on, not sent. Between 3 and 4 "S" says so:
// passed on. A response is stored under its name in work "responses" before
// the received list (korvex.received) records it, and that before the gate
// is told it arrived. Used by one run at a time (the step lock);
// raises the file exceptions of the common library.
class PendingJournal {
 public:
  enum class State : char { kPending = 'P', kSent = 'S', kDone = 'D', kHeld = 'H' };

  struct Entry {
    State state = State::kPending;
    int64_t time = 0;
    std::string sha256;  // lower-case hex
    std::string name;    // the work file's name
    std::string held;    // kHeld: where the file went, relative to the work directory
  };

  // path: the journal file, e.g. the work directory + "korvex.pending".
  explicit PendingJournal(std::string path);

  // The latest record of each upload, in the order each was first seen. A
  // missing file has none; a file with another first line is taken as empty.
  std::vector<Entry> Read() const;
  // Writes the file anew holding exactly entries, atomically.
  void Rewrite(const std::vector<Entry>& entries) const;
  // Appends one record, on the disk when it returns.
  void Append(const Entry& entry) const;
  // Takes in the records of the journal of a work area left behind, for a
  // work base that moved to workDirectory (this journal's). Carried are the
  // uploads begun (P) and taken by the gate (S): should the very file come
  // into this work area, it is held or passed on, never sent again. A held
  // upload (H) is carried only when its file lies at the same place below
  // workDirectory (the work area was copied across); otherwise it stays
  // with the old journal, beside its file, which is never changed here.
  // Finished ones (D) are left behind. Of an upload both name, the later
  // record counts. Writes this journal anew, atomically, only when it
  // gains or changes a record, so no journal appears for nothing.
  void MergeFrom(const PendingJournal& old, const std::string& workDirectory) const;

  const std::string& path() const { return path_; }

  // The SHA-256 of bytes as lower-case hex.
  static std::string Sha256Hex(const std::string& bytes);
  // The record as it is written, without the line end.
  static std::string Format(const Entry& entry);
  // The record of one line (without its end), or false when it is none.
  static bool Parse(const std::string& line, Entry& entry);

  static constexpr char kHeader[] = "kxpj-1";
  static constexpr char kFileName[] = "korvex.pending";

 private:
  std::string path_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_PENDING_JOURNAL_H_
