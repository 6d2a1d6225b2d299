#include "common/encoding.h"

namespace belmor::common {

namespace {

bool IsContinuation(unsigned char c) { return c >= 0x80 && c <= 0xBF; }

bool IsTwoByteLead(unsigned char c) { return c >= 0xC0 && c <= 0xDF; }

}  // namespace

bool IsUtf8(const std::string& text) {
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t continuations;
    if (lead < 0x80) {
      continuations = 0;
    } else if (IsTwoByteLead(lead)) {
      continuations = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
    } else {
      return false;
    }
    if (continuations > size - i - 1) return false;
    for (size_t k = 1; k <= continuations; ++k) {
      if (!IsContinuation(static_cast<unsigned char>(text[i + k]))) return false;
    }
    i += continuations + 1;
  }
  return true;
}

std::string Latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Utf8ToLatin1(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t size = text.size();
  for (size_t i = 0; i < size; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (IsTwoByteLead(c) && i + 1 < size && IsContinuation(static_cast<unsigned char>(text[i + 1]))) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      out += static_cast<char>(((c << 6) | (next & 0x3F)) & 0xFF);
      ++i;
    }
    // Any other byte goes alone; the bytes after it get their own turn.
  }
  return out;
}

std::string ToUtf8(const std::string& text, TextEncoding source) {
  switch (source) {
    case TextEncoding::kUtf8:
      return text;
    case TextEncoding::kLatin1:
      return Latin1ToUtf8(text);
    case TextEncoding::kAutomatic:
      break;
  }
  return IsUtf8(text) ? text : Latin1ToUtf8(text);
}

std::string ClipUtf8(std::string text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

}  // namespace belmor::common
