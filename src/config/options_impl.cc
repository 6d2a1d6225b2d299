#include "config/options_impl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <string_view>

#include "common/durable_file.h"
#include "logging/log.h"
#include "platform/system_error.h"

namespace belmor::korvex {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// The C library's integer rule (atoi) without its undefined overflow: leading
// white space, an optional sign, digits; no digits reads as 0.
int ParseLeadingInt(const std::string& key, const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && IsBlank(text[pos])) ++pos;
  // from_chars takes a minus but no plus; "+-1" must stay a non-number.
  if (pos < text.size() && text[pos] == '+') {
    ++pos;
    if (pos < text.size() && text[pos] == '-') return 0;
  }
  int value = 0;
  std::from_chars_result result = std::from_chars(text.data() + pos, text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) throw OptionNotFoundException("option is unparsable", key);
  return result.ec == std::errc() ? value : 0;
}

}  // namespace

IniOptions::IniOptions(const common::Path& path) : path_(path) { Load(); }

IniOptions::~IniOptions() = default;

void IniOptions::Set(const std::string& key, bool value) { Set(key, std::string(value ? "1" : "0")); }

void IniOptions::Set(const std::string& key, int value) { Set(key, std::to_string(value)); }

void IniOptions::Set(const std::string& key, const std::string& value) {
  KX_LOG(DEBUG) << "IniOptions::Set: " << key << ":" << value;
  sections_[kGlobals][key] = value;
}

const std::string* IniOptions::Find(const std::string& key) const {
  auto section = sections_.find(kGlobals);
  if (section == sections_.end()) return nullptr;
  auto entry = section->second.find(key);
  if (entry == section->second.end() || entry->second.empty()) return nullptr;
  return &entry->second;
}

std::string IniOptions::GetString(const std::string& key) const {
  KX_LOG(DEBUG) << "IniOptions::Get (string): " << key;
  const std::string* value = Find(key);
  if (value == nullptr) throw OptionNotFoundException("option not found", key);
  return *value;
}

int IniOptions::GetInt(const std::string& key) const {
  KX_LOG(DEBUG) << "IniOptions::Get (int): " << key;
  const std::string* value = Find(key);
  if (value == nullptr) throw OptionNotFoundException("option not found", key);
  return ParseLeadingInt(key, *value);
}

bool IniOptions::GetBool(const std::string& key) const {
  KX_LOG(DEBUG) << "IniOptions::Get (bool): " << key;
  const std::string* value = Find(key);
  if (value == nullptr) throw OptionNotFoundException("option not found", key);
  return ParseLeadingInt(key, *value) != 0;
}

void IniOptions::Load() {
  partial_ = false;
  unreadable_.clear();
  kept_.clear();
  const std::string file = path_.ToString();
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int error = errno;
    KX_LOG(DEBUG) << "IniOptions::Load: " << platform::SystemErrorText(error);
    // A file that is there but cannot be read must not be replaced by one
    // holding only the defaults.
    if (error != ENOENT && error != ENOTDIR) {
      partial_ = true;
      unreadable_ = platform::SystemErrorText(error);
    }
    return;
  }
  std::string section;
  std::string raw;
  for (;;) {
    errno = 0;
    std::getline(in, raw);
    if (in.bad()) {
      // A directory opens like a file and fails at the first read.
      const int error = errno;
      KX_LOG(WARN) << "IniOptions::Load: " << (error != 0 ? platform::SystemErrorText(error) : "unknown I/O error");
      partial_ = true;
      unreadable_ = error != 0 ? platform::SystemErrorText(error) : "unknown I/O error";
      return;
    }
    if (in.fail()) {
      KX_LOG(DEBUG) << "IniOptions::Load: end of file";
      return;
    }
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineLength) {
      KX_LOG(WARN) << "IniOptions::Load: line longer than " << kMaxLineLength << " characters skipped";
      kept_.push_back(raw);
      continue;
    }
    // A line of blanks holds nothing to keep: dropped, or every save would
    // keep the empty line that ends a section once more.
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    if (line.empty()) {
      kept_.push_back(raw);
      continue;
    }
    if (line.front() == '[') {
      size_t close = line.find(']');
      section = close == std::string::npos ? std::string() : line.substr(1, close - 1);
      if (section.empty()) kept_.push_back(raw);
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos || section.empty()) {
      kept_.push_back(raw);
      continue;
    }
    sections_[kGlobals][line.substr(0, equals)] = line.substr(equals + 1);
  }
}

bool IniOptions::CanStore(const std::string& key, const std::string& value) {
  if (key.size() + 1 + value.size() > kMaxLineLength) return false;
  if (key.find_first_of("=#\n") != std::string::npos || key.starts_with('[')) return false;
  if (value.find_first_of("#\n") != std::string::npos || value.ends_with('\r')) return false;
  return true;
}

std::string IniOptions::Render() const {
  // The kept lines go before the first section header, where the reader
  // takes no pair: each is skipped again, whatever made it skipped before.
  std::string text;
  for (const std::string& line : kept_) text += line + "\n";
  for (const auto& [name, entries] : sections_) {
    text += "[" + name + "]\n";
    for (const auto& [key, value] : entries) text += key + "=" + value + "\n";
    text += "\n";
  }
  return text;
}

bool IniOptions::save() { return SaveRendered(Render()); }

bool IniOptions::SaveRendered(const std::string& text, std::string* reason) {
  const std::string target = path_.ToString();
  std::string why;
  if (partial_) {
    why = target + " not written: it could not be read (" + unreadable_ + "), and rewriting it would lose the settings in it";
  } else {
    try {
      common::ReplaceFileAtomically(target, text);
      return true;
    } catch (const common::Exception& e) {
      why = e.Text();
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
      why = "unknown I/O error";
    }
  }
  KX_LOG(ERROR) << "IniOptions::save: " << why;
  if (reason) *reason = why;
  return false;
}

bool IniOptions::CanSave(std::string* reason) const {
  const std::string target = path_.ToString();
  std::string why;
  if (partial_) {
    why = target + " could not be read (" + unreadable_ + "); rewriting it would lose the settings in it";
  } else {
    const size_t slash = target.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
      why = directory + ": " + platform::SystemErrorText(errno);
    } else if (!S_ISDIR(info.st_mode)) {
      why = directory + " is not a directory";
    } else if (::access(directory.c_str(), W_OK | X_OK) != 0) {
      // Root passes mode bits, not a read-only file system.
      why = directory + ": " + platform::SystemErrorText(errno);
    }
  }
  if (why.empty()) return true;
  if (reason) *reason = why;
  return false;
}

}  // namespace belmor::korvex
