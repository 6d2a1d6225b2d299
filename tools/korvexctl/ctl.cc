#include "ctl.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <cstdio>
#include <sstream>

namespace belmor::korvexctl {

namespace {

struct RunVerb {
  const char* word;
  const char* method;
  bool takesFile;
};

constexpr RunVerb kRunVerbs[] = {
    {"auto", "Auto", false},       {"autoone", "AutoOne", true}, {"read", "Read", false},
    {"check", "Check", false},     {"anonymize", "Anonymize", false}, {"send", "Send", false},
    {"write", "Write", false},
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

ParseResult Error(std::string text) { return {std::nullopt, std::move(text)}; }

ParseResult WithArgs(Command command, const std::vector<std::string>& rest, size_t min, size_t max,
                     const std::string& word) {
  if (rest.size() < min || rest.size() > max) return Error("wrong number of arguments for '" + word + "'");
  command.args = rest;
  return {command, ""};
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& argv) {
  Command command;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (const std::string& arg : argv) {
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--json" || arg == "-j") {
        command.json = true;
      } else if (arg == "--wait" || arg == "-w") {
        command.wait = true;
      } else if (arg == "--queue" || arg == "-q") {
        command.queue = true;
      } else if (arg == "--help" || arg == "-h") {
        command.verb = Verb::kHelp;
        return {command, ""};
      } else if (arg == "--version") {
        command.verb = Verb::kVersion;
        return {command, ""};
      } else {
        return Error("unknown option '" + arg + "'");
      }
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return Error("no command given");
  const std::string word = words.front();
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  for (const RunVerb& run : kRunVerbs) {
    if (word != run.word) continue;
    command.verb = Verb::kRun;
    command.method = run.method;
    return WithArgs(command, rest, run.takesFile ? 1 : 0, run.takesFile ? 1 : 0, word);
  }
  if (command.wait) return Error("--wait applies only to a run");
  if (command.queue) return Error("--queue applies only to a run");
  if (word == "get") {
    command.verb = Verb::kGet;
    return WithArgs(command, rest, 0, 1, word);
  }
  if (word == "set") {
    command.verb = Verb::kSet;
    return WithArgs(command, rest, 2, 2, word);
  }
  const struct {
    const char* word;
    Verb verb;
  } plain[] = {{"centers", Verb::kCenters}, {"logins", Verb::kLogins}, {"watch", Verb::kWatch},
               {"cancel", Verb::kCancel},   {"status", Verb::kStatus}, {"help", Verb::kHelp}};
  for (const auto& entry : plain) {
    if (word != entry.word) continue;
    command.verb = entry.verb;
    return WithArgs(command, rest, 0, 0, word);
  }
  return Error("unknown command '" + word + "'");
}

std::string UsageText() {
  return R"(Usage: korvexctl [--json] COMMAND [ARGUMENTS]
Drives the Korvex Ordiva server (ch.belmor.Korvex on the session bus).

Settings:
  get [PROPERTY]          show one property, or all of them
  set PROPERTY VALUE      change a property; booleans as true/false/yes/no/1/0,
                          a directory starting with "~/" is taken from $HOME
  centers                 list the trust centers
  logins                  list the HIN logins

Runs (a run belongs to korvexctl's instance and ends with it, so korvexctl
stays until the run is over):
  auto | read | check | anonymize | send | write [--wait] [--queue]
  autoone FILE [--wait] [--queue]
                          Auto on one file of the invoice directory
  -w, --wait              print the run's reports while it works
  -q, --queue             when another run is active, wait for its end and
                          then start, instead of exiting with status 3
  cancel                  ask the active run to stop between files
  watch                   print every report until interrupted
  status                  trust center, HIN login, whether a run is active and
                          how many files wait in each place

Options:
  -j, --json              one JSON object per report, property or status
  -h, --help              this text
      --version           korvexctl's version

Exit status:
  0  done; a run ended without error reports
  1  the run reported errors, or the server refused the request
  2  the command line is wrong
  3  busy: another run is active (never with --queue)
  4  the server is not reachable (no session bus, not registered, no answer)
  5  the server went away after korvexctl reached it (during the run or
     before it answered)
  130, 143  a run was interrupted (SIGINT, SIGTERM); the run is cancelled
)";
}

bool IsBusFailure(const std::string& errorName) {
  static const char* const names[] = {
      "org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
      "org.freedesktop.DBus.Error.NoReply",        "org.freedesktop.DBus.Error.Timeout",
      "org.freedesktop.DBus.Error.TimedOut",       "org.freedesktop.DBus.Error.Disconnected",
      "org.freedesktop.DBus.Error.NoServer",       "org.freedesktop.DBus.Error.UnknownObject",
  };
  for (const char* known : names) {
    if (errorName == known) return true;
  }
  return errorName.rfind("org.freedesktop.DBus.Error.Spawn.", 0) == 0;
}

int FailureExitStatus(const std::string& errorName, const std::string& creator, const std::string& ownerNow) {
  if (!creator.empty() && ownerNow != creator) return kExitWentAway;
  if (errorName == "ch.belmor.Korvex.Error.Busy") return kExitBusy;
  if (IsBusFailure(errorName)) return kExitUnreachable;
  return kExitFailed;
}

std::optional<bool> ParseBool(const std::string& text) {
  const std::string lower = Lower(text);
  if (lower == "true" || lower == "yes" || lower == "1") return true;
  if (lower == "false" || lower == "no" || lower == "0") return false;
  return std::nullopt;
}

std::string ExpandHome(const std::string& text, const std::string& home) {
  if (home.empty()) return text;
  std::string base = home;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (text == "~") return base;
  if (text.compare(0, 2, "~/") == 0) return base + text.substr(1);
  return text;
}

std::string LevelName(int32_t level) {
  static const char* const names[] = {"mlDebug", "mlInfo", "mlWarning", "mlError", "mlFatal"};
  return level >= 0 && level < 5 ? names[level] : "";
}

std::string ClassName(int32_t mclass) {
  static const char* const names[] = {"mcSystem", "mcAsas", "mcModule", "mcCount"};
  return mclass >= 0 && mclass < 4 ? names[mclass] : "";
}

std::string OriginName(int32_t origin) {
  static const char* const names[] = {"moPReader",    "moPChecker",   "moPAnonymizer",
                                      "moPEncrypter", "moPSender",    "moIGReceiver",
                                      "moIGChecker",  "moPDownloader", "moPWriter"};
  return origin >= 0 && origin < 9 ? names[origin] : "";
}

std::string LevelWord(int32_t level, const std::string& language) {
  // The monitor's words for its message list.
  static const char* const german[] = {"DEBUG", "INFO", "WARNUNG", "FEHLER", "FATALER FEHLER"};
  static const char* const french[] = {"DEBUG", "INFO", "ATTENTION", "ERREUR", "ERREUR FATALE"};
  // The server maps every other level to an error.
  const int index = level >= 0 && level < 5 ? level : 3;
  return language == "fr" ? french[index] : german[index];
}

std::string FormatReportLine(const Report& report, const std::string& language, bool colour) {
  std::string line;
  // As in the monitor: a step's start and completion lines stand out, every
  // other line is indented below them.
  const bool stepLine = report.mclass == 2 && report.level == 1 && report.code <= 1;
  if (!stepLine) line += "    ";
  if (report.mclass == 0) line += "SYSTEM ";
  if (report.mclass == 1) line += "ASAS ";
  const std::string word = LevelWord(report.level, language);
  const char* paint = nullptr;
  if (colour) {
    if (report.level == 0) paint = "\033[2m";
    if (report.level == 2) paint = "\033[33m";
    if (report.level >= 3 || report.level < 0) paint = "\033[1;31m";
  }
  if (paint) {
    line += paint + word + "\033[0m";
  } else {
    line += word;
  }
  line += ": ";
  if (!report.file.empty()) line += report.file + ": ";
  line += report.message;
  return line;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    const unsigned char c = bytes[i];
    if (c < 0x80) {
      if (c == '"') {
        out += "\\\"";
      } else if (c == '\\') {
        out += "\\\\";
      } else if (c == '\n') {
        out += "\\n";
      } else if (c == '\t') {
        out += "\\t";
      } else if (c == '\r') {
        out += "\\r";
      } else if (c < 0x20 || c == 0x7f) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // A well-formed sequence is copied; anything else is one U+FFFD per byte.
    size_t length = 0;
    uint32_t min = 0;
    if (c >= 0xc2 && c <= 0xdf) {
      length = 2;
      min = 0x80;
    } else if (c >= 0xe0 && c <= 0xef) {
      length = 3;
      min = 0x800;
    } else if (c >= 0xf0 && c <= 0xf4) {
      length = 4;
      min = 0x10000;
    }
    bool valid = length > 0 && i + length <= size;
    uint32_t point = length ? (c & (0x7f >> length)) : 0;
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = bytes[i + k];
      if ((next & 0xc0) != 0x80) valid = false;
      point = (point << 6) | (next & 0x3f);
    }
    if (valid && (point < min || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff))) valid = false;
    if (valid) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xef\xbf\xbd";
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string ReportJson(const Report& report) {
  std::ostringstream out;
  out << "{\"level\":" << report.level << ",\"levelName\":" << JsonString(LevelName(report.level))
      << ",\"class\":" << report.mclass << ",\"className\":" << JsonString(ClassName(report.mclass))
      << ",\"origin\":" << report.origin << ",\"originName\":" << JsonString(OriginName(report.origin))
      << ",\"code\":" << report.code << ",\"file\":" << JsonString(report.file)
      << ",\"message\":" << JsonString(report.message) << "}";
  return out.str();
}

bool UseColour(bool stdoutIsTerminal, const char* noColor) {
  return stdoutIsTerminal && (noColor == nullptr || *noColor == '\0');
}

int32_t FinalOrigin(const std::string& method) {
  if (method == "Auto" || method == "AutoOne" || method == "Send") return 4;
  if (method == "Read") return 0;
  if (method == "Check") return 1;
  if (method == "Anonymize") return 2;
  if (method == "Write") return 8;
  return -1;
}

void RunFollower::Add(const Report& report) {
  if (finished_) return;
  // Levels outside the enumeration count as errors, as the server maps them.
  if (report.level >= 3 || report.level < 0) failed_ = true;
  if (report.mclass == 2 && report.code == 1 && report.origin == finalOrigin_) finished_ = true;
}

std::optional<int> CountInvoiceFiles(const std::string& directory) {
  if (directory.empty()) return std::nullopt;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return std::nullopt;
  int count = 0;
  const std::string temporary = ".kx-tmp-";
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() < 5 || name.compare(0, temporary.size(), temporary) == 0) continue;
    if (Lower(name.substr(name.size() - 4)) != ".xml") continue;
    struct stat info {};
    if (::stat((directory + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) ++count;
  }
  ::closedir(dir);
  return count;
}

std::vector<Place> WaitingPlaces(const std::string& inputDirectory, const std::string& workDirectory,
                                 const std::string& day) {
  std::string work = workDirectory;
  while (work.size() > 1 && work.back() == '/') work.pop_back();
  const auto under = [&work](const std::string& sub) { return work.empty() ? std::string() : work + "/" + sub; };
  std::vector<Place> places = {
      {"invoices", "invoice directory", inputDirectory, std::nullopt},
      {"workInput", "work input", under("input"), std::nullopt},
      {"workValid", "work valid", under("valid"), std::nullopt},
      {"workOutput", "work output (to send)", under("output"), std::nullopt},
      {"errorsToday", "errors today", day.empty() ? std::string() : under("err/" + day), std::nullopt},
      {"responses", "responses not yet delivered", under("responses"), std::nullopt},
  };
  for (Place& place : places) place.count = CountInvoiceFiles(place.path);
  return places;
}

bool FlockHeld(const std::string& file, const std::string& procLocks) {
  struct stat info {};
  // The lock file is made by the first run that takes the lock.
  if (::stat(file.c_str(), &info) != 0) return false;
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                static_cast<unsigned long long>(info.st_ino));
  std::istringstream lines(procLocks);
  std::string line;
  while (std::getline(lines, line)) {
    // "1: FLOCK  ADVISORY  WRITE 19612 fe:00:10952729 0 EOF"; blocked waiters
    // are listed with "->" and hold nothing.
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, where;
    fields >> number >> kind;
    if (kind == "->") continue;
    fields >> mode >> access >> pid >> where;
    if (kind == "FLOCK" && where == wanted) return true;
  }
  return false;
}

}  // namespace belmor::korvexctl
