#include "transport/base64.h"

#include <array>
#include <cstdint>

namespace belmor::korvex {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kSkip = 64;
constexpr uint8_t kPad = 65;
constexpr uint8_t kBad = 255;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kBad;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table[' '] = table['\t'] = table['\r'] = table['\n'] = kSkip;
  table['='] = kPad;
  return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64::Encode(std::string_view bytes) {
  std::string text;
  Encode(bytes, text);
  return text;
}

void Base64::Encode(std::string_view bytes, std::string& text) {
  const size_t start = text.size();
  text.resize(start + EncodedSize(bytes.size()), '=');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* out = text.data() + start;
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *out++ = kAlphabet[group >> 18];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = kAlphabet[(group >> 6) & 63];
    *out++ = kAlphabet[group & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    const uint32_t group = (uint32_t{in[i]} << 16) | (rest == 2 ? uint32_t{in[i + 1]} << 8 : 0);
    *out++ = kAlphabet[group >> 18];
    *out++ = kAlphabet[(group >> 12) & 63];
    if (rest == 2) *out = kAlphabet[(group >> 6) & 63];
  }
}

bool Base64::Decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  // Every four significant characters give at most three bytes, so this is
  // an upper bound that the loop below can never pass.
  bytes.resize(text.size() / 4 * 3 + 3);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  char* const first = bytes.data();
  char* out = first;
  uint32_t group = 0;
  int count = 0;  // characters in `group`
  int pads = 0;

  while (p < end) {
    if (count == 0 && end - p >= 4) {
      const uint32_t a = kDecode[p[0]], b = kDecode[p[1]], c = kDecode[p[2]], d = kDecode[p[3]];
      if ((a | b | c | d) < 64) {
        const uint32_t whole = (a << 18) | (b << 12) | (c << 6) | d;
        *out++ = static_cast<char>(whole >> 16);
        *out++ = static_cast<char>(whole >> 8);
        *out++ = static_cast<char>(whole);
        p += 4;
        continue;
      }
    }
    const uint8_t v = kDecode[*p++];
    if (v < 64) {
      group = (group << 6) | v;
      if (++count == 4) {
        *out++ = static_cast<char>(group >> 16);
        *out++ = static_cast<char>(group >> 8);
        *out++ = static_cast<char>(group);
        group = 0;
        count = 0;
      }
    } else if (v == kPad) {
      pads = 1;
      break;
    } else if (v != kSkip) {
      bytes.clear();
      return false;
    }
  }
  for (; p < end; ++p) {
    const uint8_t v = kDecode[*p];
    if (v == kPad) {
      ++pads;
    } else if (v != kSkip) {
      bytes.clear();
      return false;
    }
  }

  const bool complete = (count == 0 && pads == 0) || (count == 2 && (pads == 0 || pads == 2)) ||
                        (count == 3 && (pads == 0 || pads == 1));
  if (!complete) {
    bytes.clear();
    return false;
  }
  if (count == 2) {
    *out++ = static_cast<char>(group >> 4);
  } else if (count == 3) {
    *out++ = static_cast<char>(group >> 10);
    *out++ = static_cast<char>(group >> 2);
  }
  bytes.resize(static_cast<size_t>(out - first));
  return true;
}

}  // namespace belmor::korvex
