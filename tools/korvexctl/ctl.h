#ifndef KORVEX_TOOLS_KORVEXCTL_CTL_H_
#define KORVEX_TOOLS_KORVEXCTL_CTL_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "logging/korvex_logger.h"

// The parts of korvexctl that need no bus: the command line, the output, the
// end of a followed run and the file counts of `status`.
namespace belmor::korvexctl {

// Exit statuses; scripts tell the cases apart by them, so they never change.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,       // the run reported errors, or the server refused the request
  kExitUsage = 2,        // the command line is wrong
  kExitBusy = 3,         // another run is active (ch.belmor.Korvex.Error.Busy)
  kExitUnreachable = 4,  // no session bus, or the server could not be started or reached
  kExitWentAway = 5,     // the server left the bus after korvexctl reached it
  kExitTimedOut = 6,     // the run did not end within --timeout; it was cancelled
};

// --- failed calls ------------------------------------------------------------

// Errors the bus answers when nobody serves a call: no owner, a start that
// failed, no answer in time, a connection that broke.
bool IsBusFailure(const std::string& errorName);

// The exit status of a failed call. creator is the unique bus name of the
// server that created korvexctl's instance, empty when none did (the server
// was never reached); ownerNow is who owns the server's name once the call
// has failed, empty for nobody. A server that was reached and no longer owns
// the name went away, whatever the error says (a server that dies while a
// call waits leaves only the bus's NoReply behind); before that, a bus error
// means the server is not reachable.
int FailureExitStatus(const std::string& errorName, const std::string& creator, const std::string& ownerNow);

enum class Verb { kHelp, kVersion, kGet, kSet, kCenters, kLogins, kRun, kWatch, kCancel, kStatus };

struct Command {
  Verb verb = Verb::kHelp;
  bool json = false;
  bool wait = false;
  bool queue = false;  // a run that finds another one active waits for it
  // --timeout: how long a run may take, its wait for another run included.
  std::optional<int> timeoutSeconds;
  std::string method;  // the server method of a run: "Auto", "AutoOne", "Read", ...
  std::vector<std::string> args;
};

struct ParseResult {
  std::optional<Command> command;
  std::string error;  // set when command is empty
};

// --timeout takes whole seconds, 1 or more, as "--timeout N" or "--timeout=N".
ParseResult ParseCommandLine(const std::vector<std::string>& argv);

std::string UsageText();

// --- values ----------------------------------------------------------------

// true/false/yes/no/1/0, any case.
std::optional<bool> ParseBool(const std::string& text);
// A leading "~/" (or a lone "~") becomes home; other text is kept.
std::string ExpandHome(const std::string& text, const std::string& home);
// A directory as a shell user means it: "~" expanded, then a relative path
// taken against cwd (the server refuses relative paths: its own working
// directory means nothing to the user). A path with a drive ("C:\...") or a
// leading backslash is left for the server to judge; so is everything when
// cwd is empty (unknown).
std::string AbsoluteDirectory(const std::string& text, const std::string& home, const std::string& cwd);

// --- reports ---------------------------------------------------------------

struct Report {
  int32_t level = 0;
  int32_t mclass = 0;
  int32_t origin = 0;
  int32_t code = 0;
  std::string file;
  std::string message;
};

// "mlError", "mcModule", "moPSender"; "" for a value outside the enumeration.
std::string LevelName(int32_t level);
std::string ClassName(int32_t mclass);
std::string OriginName(int32_t origin);
// The word the practice reads for a level, German or French ("de"/"fr").
std::string LevelWord(int32_t level, const std::string& language);

// One line as the monitor's message list writes it, with the level in words.
// With colour the level word carries an ANSI colour by its severity.
std::string FormatReportLine(const Report& report, const std::string& language, bool colour);
// One JSON object, no line feed.
std::string ReportJson(const Report& report);

// JSON string literal with quotes; bytes that are not UTF-8 become U+FFFD.
// Control characters (C0, DEL, C1) are written as JSON escapes.
std::string JsonString(const std::string& text);

// A file name or value as the text output prints it: C0 controls, DEL and C1
// controls (as bytes 0x80-0x9f, also inside their UTF-8 form) become \xNN,
// one per byte, and a backslash becomes \\, so no name a client or a file
// brings can drive the terminal, and every name reads back unambiguously.
// Other bytes stay as they are.
std::string EscapeText(const std::string& text);

// Colour only for a terminal, and never when NO_COLOR is set to anything.
bool UseColour(bool stdoutIsTerminal, const char* noColor);

// --- following a run -------------------------------------------------------

// The origin whose completion report (class mcModule, code 1) ends a run of
// that method: the run's last step. -1 for an unknown method.
int32_t FinalOrigin(const std::string& method);

// Watches the reports of one run: over at its last step's completion report;
// failed when any report was an error or worse.
class RunFollower {
 public:
  explicit RunFollower(const std::string& method) : finalOrigin_(FinalOrigin(method)) {}
  void Add(const Report& report);
  bool Finished() const { return finished_; }
  bool Failed() const { return failed_; }
  int ExitStatus() const { return failed_ ? kExitFailed : kExitOk; }

 private:
  int32_t finalOrigin_;
  bool finished_ = false;
  bool failed_ = false;
};

// --- status ----------------------------------------------------------------

// The invoice files a step would take from directory: regular files named
// *.xml (any case), not the temporaries of an unfinished write. Empty when
// the directory cannot be read.
std::optional<int> CountInvoiceFiles(const std::string& directory);

struct Place {
  std::string key;    // JSON name
  std::string label;  // human label
  std::string path;
  std::optional<int> count;
  std::vector<std::string> files;  // listed below the place (held invoices)
};

// Where files wait, from the directories the server reports and its day
// stamp; the last place holds the invoices whose upload has an unknown
// outcome, of every day (HeldInvoices).
std::vector<Place> WaitingPlaces(const std::string& inputDirectory, const std::string& workDirectory,
                                 const std::string& day);

// The server's journal of uploads, "korvex.pending" in the work directory.
inline constexpr char kPendingJournalName[] = "korvex.pending";

// The held files a journal text names: the path (relative to the work
// directory) of every upload whose latest record is "H" (its outcome is
// unknown and the invoice was moved there), once each, in the order they
// were first recorded. Empty when the first line is not "kxpj-1". Records of
// unknown kinds and malformed lines are skipped; a held path that would lead
// out of the work directory is malformed.
std::vector<std::string> HeldInPendingJournal(const std::string& journalText);

// The held invoices of the work directory, as full paths: those of its
// journal whose file is still there (the practice removes it once it knows
// what became of the upload). None without a journal (nothing was ever
// uploaded); empty optional when the journal cannot be read or is foreign.
std::optional<std::vector<std::string>> HeldInvoices(const std::string& workDirectory);

// What `status` shows, and the two forms it is shown in.
struct StatusInfo {
  std::string trustCenter;
  std::string hinLogin;
  std::optional<bool> runActive;  // empty: the lock table cannot be read
  std::string session;
  std::string outputDirectory;
  std::vector<Place> places;
};
// Lines for a person, every name escaped (EscapeText); ends with a line feed.
std::string StatusText(const StatusInfo& status);
// One JSON object, no line feed.
std::string StatusJson(const StatusInfo& status);

// Whether a process holds the flock on file, read from a /proc/locks text
// without taking any lock (taking one, even shared, could refuse a run that
// starts at that instant). False when the file does not exist.
bool FlockHeld(const std::string& file, const std::string& procLocks);

// The day stamp of the server's session logs and day directories.
using ::belmor::korvex::DayStamp;

}  // namespace belmor::korvexctl

#endif  // KORVEX_TOOLS_KORVEXCTL_CTL_H_
