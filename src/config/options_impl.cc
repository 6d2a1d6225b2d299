#include "config/options_impl.h"

#include <cerrno>
#include <charconv>
#include <fstream>

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
  const std::string file = path_.ToString();
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    const int error = errno;
    KX_LOG(DEBUG) << "IniOptions::Load: " << platform::SystemErrorText(error);
    return;
  }
  // One more than the longest line, for a carriage return of a file edited on
  // Windows, plus the terminating zero.
  char buffer[kMaxLineLength + 2];
  std::string section;
  for (;;) {
    in.getline(buffer, sizeof buffer);
    if (in.fail()) {
      if (in.eof() && in.gcount() == 0) {
        KX_LOG(DEBUG) << "IniOptions::Load: end of file";
      } else if (in.bad()) {
        KX_LOG(WARN) << "IniOptions::Load: unknown I/O error";
      } else {
        KX_LOG(WARN) << "IniOptions::Load: line longer than " << kMaxLineLength << " characters";
      }
      return;
    }
    // gcount counts the line feed when there was one; a last line without one
    // ends at end of file instead.
    size_t length = static_cast<size_t>(in.gcount());
    if (!in.eof() && length > 0) --length;
    std::string line(buffer, length);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > kMaxLineLength) {
      KX_LOG(WARN) << "IniOptions::Load: line longer than " << kMaxLineLength << " characters";
      return;
    }

    if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    if (line.empty()) continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      section = close == std::string::npos ? std::string() : line.substr(1, close - 1);
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos || section.empty()) continue;
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
  std::string text;
  for (const auto& [name, entries] : sections_) {
    text += "[" + name + "]\n";
    for (const auto& [key, value] : entries) text += key + "=" + value + "\n";
    text += "\n";
  }
  return text;
}

bool IniOptions::save() {
  const std::string target = path_.ToString();
  try {
    common::ReplaceFileAtomically(target, Render());
    return true;
  } catch (const common::Exception& e) {
    KX_LOG(ERROR) << "IniOptions::save: " << e.Text();
  } catch (const std::exception& e) {
    KX_LOG(ERROR) << "IniOptions::save: " << e.what();
  } catch (...) {
    KX_LOG(ERROR) << "IniOptions::save: unknown I/O error";
  }
  return false;
}

}  // namespace belmor::korvex
