#include "pipeline/received_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <utility>

#include "common/durable_file.h"
#include "common/file.h"
#include "pipeline/record_fields.h"

namespace belmor::korvex {

namespace {

constexpr char kLineEnd[] = "\r\n";
// The free names tried beyond the name itself; a store never goes further
// than the copies of one name it finds.
constexpr int kMaxFreeNames = 1000;

bool Parse(const std::string& line, ReceivedList::Entry& entry) {
  const size_t first = line.find('|');
  const size_t second = first == std::string::npos ? first : line.find('|', first + 1);
  if (second == std::string::npos || line.find('|', second + 1) != std::string::npos) return false;
  ReceivedList::Entry parsed;
  const char* begin = line.data();
  const auto [end, error] = std::from_chars(begin, begin + first, parsed.time);
  if (first == 0 || error != std::errc() || end != begin + first) return false;
  parsed.sha256 = line.substr(first + 1, second - first - 1);
  if (!IsSha256Hex(parsed.sha256)) return false;
  if (!UnescapeRecordField(line.substr(second + 1), parsed.name) || parsed.name.empty()) return false;
  entry = std::move(parsed);
  return true;
}

bool FileHolds(const std::string& path, const std::string& bytes, bool& exists) {
  struct stat info {};
  exists = ::stat(path.c_str(), &info) == 0;
  if (!exists || !S_ISREG(info.st_mode) || info.st_size != static_cast<off_t>(bytes.size())) return false;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return in && content.str() == bytes;
}

}  // namespace

ReceivedList::ReceivedList(std::string path, std::function<std::time_t()> clock)
    : path_(std::move(path)), clock_(std::move(clock)) {}

int64_t ReceivedList::Now() const { return clock_ ? clock_() : std::time(nullptr); }

void ReceivedList::Load() {
  entries_.clear();
  std::ifstream in(path_, std::ios::binary);
  std::string line;
  if (!in || !std::getline(in, line)) return;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kHeader) return;
  while (std::getline(in, line)) {
    // A line without its end was cut off while it was written.
    if (in.eof()) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Entry entry;
    if (Parse(line, entry)) entries_.push_back(std::move(entry));
  }
}

bool ReceivedList::Contains(const std::string& name, const std::string& sha256) const {
  const int64_t limit = Now() - kMaxAge;
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.time > limit && entry.name == name && entry.sha256 == sha256;
  });
}

void ReceivedList::Add(const std::string& name, const std::string& sha256) {
  const int64_t now = Now();
  const int64_t limit = now - kMaxAge;
  std::erase_if(entries_, [limit](const Entry& entry) { return entry.time <= limit; });
  entries_.push_back({now, sha256, name});
  Write();
}

void ReceivedList::Merge(const ReceivedList& other) {
  const int64_t limit = Now() - kMaxAge;
  bool changed = false;
  for (const Entry& entry : other.entries_) {
    if (entry.time <= limit) continue;
    const auto same = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& mine) {
      return mine.name == entry.name && mine.sha256 == entry.sha256;
    });
    if (same == entries_.end()) {
      entries_.push_back(entry);
      changed = true;
    } else if (entry.time > same->time) {
      same->time = entry.time;
      changed = true;
    }
  }
  if (!changed) return;
  std::erase_if(entries_, [limit](const Entry& entry) { return entry.time <= limit; });
  Write();
}

void ReceivedList::Write() const {
  std::string text = std::string(kHeader) + kLineEnd;
  for (const Entry& entry : entries_) {
    text += std::to_string(entry.time) + "|" + entry.sha256 + "|" + EscapeRecordField(entry.name) + kLineEnd;
  }
  common::ReplaceFileAtomically(path_, text, common::kPrivateFileMode);
}

bool ReceivedList::HoldsCopy(const std::string& directory, const std::string& fileName, const std::string& bytes) {
  std::string base = directory;
  if (!base.empty() && base.back() != '/') base += '/';
  const size_t dot = fileName.rfind('.');
  const std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
  bool exists = false;
  if (FileHolds(base + fileName, bytes, exists)) return true;
  for (int n = 1; exists && n <= kMaxFreeNames; ++n) {
    if (FileHolds(base + stem + "." + std::to_string(n) + "." + extension, bytes, exists)) return true;
  }
  return false;
}

}  // namespace belmor::korvex
