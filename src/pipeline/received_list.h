#ifndef KORVEX_PIPELINE_RECEIVED_LIST_H_
#define KORVEX_PIPELINE_RECEIVED_LIST_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace belmor::korvex {

// The responses taken from the response gate in the last 30 days:
// "korvex.received" beside the duplicate log. A response is written to the
// list after its file is stored and before the gate is told it arrived; a
// crash or a lost answer in between leaves it at the gate, which offers it
// again. One that matches an entry by its gate name and the SHA-256 of its
// bytes is confirmed then, not stored a second time: the practice gets each
// response once.
//
// Format: the line "kxrl-1", then one line per response (CR LF; LF is read
// too): time|sha256|name, with "%", "|", CR and LF in the name written as
// "%25", "%7C", "%0D", "%0A". Malformed lines are skipped. Used by one run at a
// time (the step lock); not thread-safe.
class ReceivedList {
 public:
  struct Entry {
    int64_t time = 0;
    std::string sha256;  // lower-case hex
    std::string name;    // the name the gate gave the response
  };

  // path: the list file, e.g. the work directory + kFileName. clock: the
  // current time, seconds since 1970 (the system clock when empty).
  explicit ReceivedList(std::string path, std::function<std::time_t()> clock = {});

  // Reads the file anew. A missing or unreadable file, or one with another
  // first line, gives an empty list.
  void Load();
  // Whether a response of this gate name and hash was stored within 30 days.
  bool Contains(const std::string& name, const std::string& sha256) const;
  // Adds the response and writes the list anew, atomically and on the disk
  // when it returns; entries older than 30 days are left out. Raises the file
  // exceptions of the common library; the list in memory holds the entry even
  // then.
  void Add(const std::string& name, const std::string& sha256);

  // Takes in the entries of another list (the one of a work area left
  // behind) younger than 30 days that this one lacks; of a response both
  // hold, the later time counts. Writes the list anew, atomically and on the
  // disk, when it gained or changed an entry. Both must be loaded. Raises
  // the file exceptions of the common library.
  void Merge(const ReceivedList& other);

  const std::vector<Entry>& Entries() const { return entries_; }
  const std::string& path() const { return path_; }

  // Whether directory holds bytes under fileName or one of the free names
  // "stem.n.ext" a store gives when the name is taken (n = 1, 2, ... while
  // such files exist). A response stored just before a crash that kept it off
  // the list is found this way, before and after the write step delivered it.
  static bool HoldsCopy(const std::string& directory, const std::string& fileName, const std::string& bytes);

  static constexpr char kHeader[] = "kxrl-1";
  static constexpr char kFileName[] = "korvex.received";
  // Thirty days, as the duplicate log keeps its entries.
  static constexpr int64_t kMaxAge = 2592000;

 private:
  int64_t Now() const;
  void Write() const;

  std::string path_;
  std::function<std::time_t()> clock_;
  std::vector<Entry> entries_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_PIPELINE_RECEIVED_LIST_H_
