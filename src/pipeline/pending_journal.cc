#include "pipeline/pending_journal.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <map>
#include <utility>

#include "common/durable_file.h"
#include "common/file.h"
#include "pipeline/record_fields.h"

namespace belmor::korvex {

namespace {

constexpr char kLineEnd[] = "\r\n";

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t bar = line.find('|', start);
    fields.push_back(line.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  return fields;
}

}  // namespace

PendingJournal::PendingJournal(std::string path) : path_(std::move(path)) {}

std::string PendingJournal::Sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return std::string();
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0f];
  }
  return hex;
}

std::string PendingJournal::Format(const Entry& entry) {
  std::string line(1, static_cast<char>(entry.state));
  line += "|" + std::to_string(entry.time) + "|" + entry.sha256 + "|" + EscapeRecordField(entry.name);
  if (entry.state == State::kHeld) line += "|" + EscapeRecordField(entry.held);
  return line;
}

bool PendingJournal::Parse(const std::string& line, Entry& entry) {
  const std::vector<std::string> fields = SplitFields(line);
  if (fields.size() < 4 || fields[0].size() != 1) return false;
  const char kind = fields[0][0];
  const bool held = kind == static_cast<char>(State::kHeld);
  if (kind != 'P' && kind != 'S' && kind != 'D' && !held) return false;
  if (fields.size() != (held ? 5u : 4u)) return false;
  Entry parsed;
  parsed.state = static_cast<State>(kind);
  const std::string& time = fields[1];
  const auto [end, error] = std::from_chars(time.data(), time.data() + time.size(), parsed.time);
  if (error != std::errc() || end != time.data() + time.size()) return false;
  if (!IsSha256Hex(fields[2])) return false;
  parsed.sha256 = fields[2];
  if (!UnescapeRecordField(fields[3], parsed.name) || parsed.name.empty()) return false;
  if (held && (!UnescapeRecordField(fields[4], parsed.held) || parsed.held.empty())) return false;
  entry = std::move(parsed);
  return true;
}

std::vector<PendingJournal::Entry> PendingJournal::Read() const {
  std::vector<Entry> entries;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return entries;
  std::string line;
  if (!std::getline(in, line)) return entries;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line != kHeader) return entries;
  // name + hash -> index in entries
  std::map<std::pair<std::string, std::string>, size_t> index;
  while (std::getline(in, line)) {
    // A line without its end is one a crash cut off while it was written.
    if (in.eof()) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Entry entry;
    if (!Parse(line, entry)) continue;
    const auto key = std::make_pair(entry.name, entry.sha256);
    const auto found = index.find(key);
    if (found == index.end()) {
      index.emplace(key, entries.size());
      entries.push_back(std::move(entry));
    } else {
      entries[found->second] = std::move(entry);
    }
  }
  return entries;
}

void PendingJournal::Rewrite(const std::vector<Entry>& entries) const {
  std::string text = std::string(kHeader) + kLineEnd;
  for (const Entry& entry : entries) text += Format(entry) + kLineEnd;
  common::ReplaceFileAtomically(path_, text, common::kPrivateFileMode);
}

void PendingJournal::MergeFrom(const PendingJournal& old, const std::string& workDirectory) const {
  std::vector<Entry> entries = Read();
  std::string base = workDirectory;
  if (!base.empty() && base.back() != '/') base += '/';
  bool changed = false;
  for (Entry& record : old.Read()) {
    if (record.state == State::kDone) continue;
    if (record.state == State::kHeld && !common::File(base + record.held).Exists()) continue;
    const auto same = std::find_if(entries.begin(), entries.end(), [&](const Entry& entry) {
      return entry.name == record.name && entry.sha256 == record.sha256;
    });
    if (same == entries.end()) {
      entries.push_back(std::move(record));
      changed = true;
    } else if (record.time > same->time) {
      *same = std::move(record);
      changed = true;
    }
  }
  if (changed) Rewrite(entries);
}

void PendingJournal::Append(const Entry& entry) const {
  std::string text;
  // A journal that is missing (a new work area) or empty gets its first line.
  bool fresh = true;
  {
    std::ifstream in(path_, std::ios::binary);
    fresh = !in || in.peek() == std::ifstream::traits_type::eof();
  }
  if (fresh) text = std::string(kHeader) + kLineEnd;
  text += Format(entry) + kLineEnd;
  common::AppendDurably(path_, text, common::kPrivateFileMode);
}

}  // namespace belmor::korvex
