#include "ctl.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
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

// Whole seconds, at least one; a day's worth of digits is plenty.
std::optional<int> ParseSeconds(const std::string& text) {
  if (text.empty() || text.size() > 7) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const int seconds = std::stoi(text);
  if (seconds < 1) return std::nullopt;
  return seconds;
}

ParseResult ParseCommandLine(const std::vector<std::string>& argv) {
  Command command;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (!optionsEnded && (arg == "--timeout" || arg.rfind("--timeout=", 0) == 0)) {
      std::string value;
      if (arg == "--timeout") {
        if (i + 1 == argv.size()) return Error("--timeout needs a number of seconds");
        value = argv[++i];
      } else {
        value = arg.substr(10);
      }
      command.timeoutSeconds = ParseSeconds(value);
      if (!command.timeoutSeconds) return Error("--timeout takes whole seconds, 1 or more, not '" + value + "'");
    } else if (!optionsEnded && arg == "--") {
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
  if (command.timeoutSeconds) return Error("--timeout applies only to a run");
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
                                              [--timeout SECONDS]
  autoone FILE [--wait] [--queue] [--timeout SECONDS]
                          Auto on one file of the invoice directory
  -w, --wait              print the run's reports while it works
  -q, --queue             when another run is active, wait for its end and
                          then start, instead of exiting with status 3
      --timeout SECONDS   when the run (with its wait for another run) has
                          not ended after SECONDS, cancel it, wait up to 10 s
                          for its end and exit with status 6
  cancel                  ask the active run to stop between files
  watch                   print every report until interrupted
  status                  trust center, HIN login, whether a run is active,
                          how many files wait in each place, and the invoices
                          whose upload has an unknown outcome

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
  6  timed out: the run did not end within --timeout and was cancelled (or,
     waiting for another run, nothing was started)
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

std::string AbsoluteDirectory(const std::string& text, const std::string& home, const std::string& cwd) {
  const std::string expanded = ExpandHome(text, home);
  if (expanded.empty() || cwd.empty() || expanded[0] == '/' || expanded[0] == '\\') return expanded;
  const bool drive = expanded.size() >= 2 && expanded[1] == ':' &&
                     ((expanded[0] >= 'A' && expanded[0] <= 'Z') || (expanded[0] >= 'a' && expanded[0] <= 'z'));
  if (drive) return expanded;
  return cwd + (cwd.back() == '/' ? "" : "/") + expanded;
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
  if (!report.file.empty()) line += EscapeText(report.file) + ": ";
  line += EscapeText(report.message);
  return line;
}

namespace {

// The length of the well-formed UTF-8 sequence at bytes[i] (1 for ASCII),
// 0 when none starts there; point gets its code point.
size_t Utf8Sequence(const unsigned char* bytes, size_t size, size_t i, uint32_t& point) {
  const unsigned char c = bytes[i];
  if (c < 0x80) {
    point = c;
    return 1;
  }
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
  if (length == 0 || i + length > size) return 0;
  point = c & (0x7f >> length);
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = bytes[i + k];
    if ((next & 0xc0) != 0x80) return 0;
    point = (point << 6) | (next & 0x3f);
  }
  if (point < min || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) return 0;
  return length;
}

bool IsControl(uint32_t point) { return point < 0x20 || (point >= 0x7f && point <= 0x9f); }

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i < size;) {
    uint32_t point = 0;
    const size_t length = Utf8Sequence(bytes, size, i, point);
    if (length == 0) {
      // Not UTF-8: one U+FFFD per byte.
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    if (point == '"') {
      out += "\\\"";
    } else if (point == '\\') {
      out += "\\\\";
    } else if (point == '\n') {
      out += "\\n";
    } else if (point == '\t') {
      out += "\\t";
    } else if (point == '\r') {
      out += "\\r";
    } else if (IsControl(point)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
      out += escaped;
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  out += '"';
  return out;
}

std::string EscapeText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  const auto escape = [&out](unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    out += escaped;
  };
  for (size_t i = 0; i < size;) {
    uint32_t point = 0;
    size_t length = Utf8Sequence(bytes, size, i, point);
    if (length == 0) {
      // A byte outside UTF-8 (a Latin-1 name on disk) stays, unless a
      // terminal reading 8-bit controls would take it for one.
      if (bytes[i] <= 0x9f) {
        escape(bytes[i]);
      } else {
        out += static_cast<char>(bytes[i]);
      }
      ++i;
      continue;
    }
    if (point == '\\') {
      out += "\\\\";
    } else if (IsControl(point)) {
      for (size_t k = 0; k < length; ++k) escape(bytes[i + k]);
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
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
      {"invoices", "invoice directory", inputDirectory, std::nullopt, {}},
      {"workInput", "work input", under("input"), std::nullopt, {}},
      {"workValid", "work valid", under("valid"), std::nullopt, {}},
      {"workOutput", "work output (to send)", under("output"), std::nullopt, {}},
      {"errorsToday", "errors today", day.empty() ? std::string() : under("err/" + day), std::nullopt, {}},
      {"responses", "responses not yet delivered", under("responses"), std::nullopt, {}},
  };
  for (Place& place : places) place.count = CountInvoiceFiles(place.path);
  Place unknown{"unknown", "Outcome unknown (any day)", under(kPendingJournalName), std::nullopt, {}};
  if (const std::optional<std::vector<std::string>> held = HeldInvoices(work)) {
    unknown.count = static_cast<int>(held->size());
    unknown.files = *held;
  }
  places.push_back(std::move(unknown));
  return places;
}

namespace {

// One field of a journal record: "%25", "%7C", "%0D" and "%0A" (hex digits
// of any case) stand for the characters they name; other text is literal.
std::string DecodeField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '%' && i + 2 < field.size()) {
      const std::string code = Lower(field.substr(i + 1, 2));
      const char decoded = code == "25" ? '%' : code == "7c" ? '|' : code == "0d" ? '\r' : code == "0a" ? '\n' : 0;
      if (decoded) {
        out += decoded;
        i += 2;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool AllOf(const std::string& text, const char* allowed) {
  return !text.empty() && text.find_first_not_of(allowed) == std::string::npos;
}

// A path of the journal may only lead to a file inside the work directory.
bool IsPlainRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
  std::istringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return path.back() != '/';
}

}  // namespace

std::vector<std::string> HeldInPendingJournal(const std::string& journalText) {
  std::istringstream in(journalText);
  std::string line;
  const auto next = [&in, &line] {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  if (!next() || line != "kxpj-1") return {};
  // The latest record of each upload (name and hash) decides; the order is
  // that of each upload's first record.
  std::vector<std::pair<std::string, std::string>> uploads;  // key, held path or ""
  while (next()) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    std::string part;
    while (std::getline(parts, part, '|')) fields.push_back(DecodeField(part));
    if (!line.empty() && line.back() == '|') fields.emplace_back();
    if (fields.empty() || fields[0].size() != 1) continue;
    const char kind = fields[0][0];
    if (kind != 'P' && kind != 'S' && kind != 'D' && kind != 'H') continue;
    if (fields.size() != (kind == 'H' ? 5u : 4u)) continue;
    if (!AllOf(fields[1], "0123456789") || fields[2].size() != 64 || !AllOf(fields[2], "0123456789abcdefABCDEF") ||
        fields[3].empty()) {
      continue;
    }
    if (kind == 'H' && !IsPlainRelativePath(fields[4])) continue;
    const std::string key = Lower(fields[2]) + "|" + fields[3];
    const std::string held = kind == 'H' ? fields[4] : std::string();
    bool known = false;
    for (auto& upload : uploads) {
      if (upload.first != key) continue;
      upload.second = held;
      known = true;
    }
    if (!known) uploads.emplace_back(key, held);
  }
  std::vector<std::string> held;
  for (const auto& upload : uploads) {
    if (upload.second.empty()) continue;
    if (std::find(held.begin(), held.end(), upload.second) == held.end()) held.push_back(upload.second);
  }
  return held;
}

std::optional<std::vector<std::string>> HeldInvoices(const std::string& workDirectory) {
  std::string work = workDirectory;
  while (work.size() > 1 && work.back() == '/') work.pop_back();
  if (work.empty()) return std::nullopt;
  const std::string journal = work + "/" + kPendingJournalName;
  std::ifstream in(journal, std::ios::binary);
  if (!in) {
    struct stat info {};
    // Made by the first upload: without it nothing is held.
    if (::stat(journal.c_str(), &info) != 0 && errno == ENOENT) return std::vector<std::string>();
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  if (content.compare(0, 6, "kxpj-1") != 0) return std::nullopt;
  std::vector<std::string> present;
  for (const std::string& path : HeldInPendingJournal(content)) {
    struct stat info {};
    const std::string full = work + "/" + path;
    if (::stat(full.c_str(), &info) == 0 && S_ISREG(info.st_mode)) present.push_back(full);
  }
  return present;
}

std::string StatusText(const StatusInfo& status) {
  const auto orNone = [](const std::string& text) { return text.empty() ? std::string("(none)") : EscapeText(text); };
  std::string text = "Trust center:  " + orNone(status.trustCenter) + "\n";
  text += "HIN login:     " + orNone(status.hinLogin) + "\n";
  text += std::string("Run active:    ") +
          (status.runActive ? (*status.runActive ? "yes" : "no") : "unknown (no lock table to read)") + "\n";
  text += "Responses to:  " + EscapeText(status.outputDirectory) + "\n";
  text += "Waiting files:\n";
  for (const Place& place : status.places) {
    std::string label = place.label;
    label.resize(std::max<size_t>(label.size(), 29), ' ');
    std::string count = place.count ? std::to_string(*place.count) : "-";
    count.insert(0, count.size() < 5 ? 5 - count.size() : 0, ' ');
    text += "  " + label + " " + count + "  " + EscapeText(place.path) + "\n";
    for (const std::string& file : place.files) text += "      " + EscapeText(file) + "\n";
  }
  return text;
}

std::string StatusJson(const StatusInfo& status) {
  std::string text = "{\"trustCenter\":" + JsonString(status.trustCenter) + ",\"hinLogin\":" +
                     JsonString(status.hinLogin) + ",\"runActive\":" +
                     (status.runActive ? (*status.runActive ? "true" : "false") : "null") +
                     ",\"session\":" + JsonString(status.session) +
                     ",\"outputDirectory\":" + JsonString(status.outputDirectory) + ",\"places\":[";
  for (size_t i = 0; i < status.places.size(); ++i) {
    const Place& place = status.places[i];
    if (i) text += ",";
    text += "{\"place\":" + JsonString(place.key) + ",\"path\":" + JsonString(place.path) +
            ",\"count\":" + (place.count ? std::to_string(*place.count) : "null");
    if (place.key == "unknown") {
      text += ",\"files\":[";
      for (size_t k = 0; k < place.files.size(); ++k) text += (k ? "," : "") + JsonString(place.files[k]);
      text += "]";
    }
    text += "}";
  }
  return text + "]}";
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
