#include "transport/xml_pull_reader.h"

#include <string>

#include "transport/rpc_value.h"

namespace belmor::korvex {
namespace {

constexpr int kEnd = std::char_traits<char>::eof();

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

XmlPullReader::XmlPullReader(std::istream& in) : in_(in) {}

bool XmlPullReader::SkipPastCommentEnd() {
  int dashes = 0;
  for (int c = buf().sbumpc(); c != kEnd; c = buf().sbumpc()) {
    if (c == '>' && dashes >= 2) return true;
    dashes = c == '-' ? dashes + 1 : 0;
  }
  return false;
}

bool XmlPullReader::SkipPastTagEnd(bool& empty_element) {
  empty_element = false;
  for (int c = buf().sbumpc(); c != kEnd; c = buf().sbumpc()) {
    if (c == '>') return true;
    empty_element = c == '/';
  }
  return false;
}

std::string XmlPullReader::NextTag() {
  std::string name;
  for (;;) {
    int c = buf().sbumpc();
    if (c == kEnd) return std::string();
    if (IsBlank(c)) {
      if (!inside_tag_) continue;
      bool empty_element = false;
      const bool comment = name.starts_with("!--");
      if (!(comment ? SkipPastCommentEnd() : SkipPastTagEnd(empty_element))) return std::string();
      if (empty_element) {
        // "<nil />" or "<a x='1'/>": as much an empty-element tag as "<nil/>".
        inside_tag_ = false;
        name.clear();
        continue;
      }
      c = '>';
    }
    switch (c) {
      case '>':
        if (!inside_tag_) return std::string();
        inside_tag_ = false;
        if (name.starts_with('?') || name.starts_with("!--")) {
          name.clear();
          continue;
        }
        open_tags_.push_back(name);
        return name;
      case '/': {
        const int next = buf().sbumpc();
        if (next == '>') {
          inside_tag_ = false;
          name.clear();
          continue;
        }
        if (next != kEnd) buf().sungetc();
        if (inside_tag_) return std::string();
        continue;
      }
      case '<':
        if (inside_tag_) return std::string();
        inside_tag_ = true;
        name.clear();
        continue;
      default:
        if (inside_tag_) {
          name.push_back(static_cast<char>(c));
          continue;
        }
        buf().sungetc();
        return std::string();
    }
  }
}

std::string XmlPullReader::ReadText() {
  if (inside_tag_) throw RpcError("Invalid XML");
  // getline scans the stream's buffer in blocks, which matters for the
  // megabytes of Base64 an invoice brings; it consumes the "<", so it is put
  // back afterwards.
  std::string text;
  in_.clear();
  std::getline(in_, text, '<');
  if (!in_.eof()) buf().sungetc();
  in_.clear();
  return text;
}

bool XmlPullReader::CloseTag() {
  if (open_tags_.empty()) return false;
  if (!inside_tag_) {
    int c = buf().sbumpc();
    while (IsBlank(c)) c = buf().sbumpc();
    if (c != '<') {
      if (c != kEnd) buf().sungetc();
      return false;
    }
    c = buf().sbumpc();
    // A start tag where a closing one belongs: the "<" is gone, so the reader
    // is inside that start tag now.
    inside_tag_ = true;
    if (c != '/') {
      if (c != kEnd) buf().sungetc();
      return false;
    }
  }
  std::string name;
  for (;;) {
    int c = buf().sbumpc();
    if (c == kEnd || c == '/') return false;
    if (IsBlank(c)) {
      // "</name >" is well-formed XML; only blanks may stand before the ">".
      while (IsBlank(c)) c = buf().sbumpc();
      if (c != '>') {
        if (c != kEnd) buf().sungetc();
        return false;
      }
    }
    if (c == '>') break;
    name.push_back(static_cast<char>(c));
  }
  inside_tag_ = false;
  if (name != open_tags_.back()) return false;
  open_tags_.pop_back();
  return true;
}

bool XmlPullReader::CloseAll() {
  while (!open_tags_.empty()) {
    if (!CloseTag()) return false;
  }
  return true;
}

}  // namespace belmor::korvex
