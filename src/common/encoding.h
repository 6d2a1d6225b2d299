#ifndef KORVEX_COMMON_ENCODING_H_
#define KORVEX_COMMON_ENCODING_H_

#include <cstddef>
#include <string>

namespace belmor::common {

// Conversions between UTF-8 and ISO-8859-1 (Latin-1) for texts whose encoding
// is not always known: invoices, file names and the trust center's answers
// come in either. All functions work on bytes and never fail.

enum class TextEncoding {
  kAutomatic,  // UTF-8 when the bytes are valid UTF-8, else Latin-1
  kUtf8,
  kLatin1,
};

// True when every lead byte has its continuation bytes within the text. Lead
// bytes above 0xF4 are rejected; overlong forms are not.
bool IsUtf8(const std::string& text);

std::string Latin1ToUtf8(const std::string& text);

// Two-byte sequences become the low eight bits of their code point; what
// Latin-1 cannot hold is dropped byte by byte, so a broken sequence costs no
// more than its own bytes.
std::string Utf8ToLatin1(const std::string& text);

std::string ToUtf8(const std::string& text, TextEncoding source = TextEncoding::kAutomatic);

// text cut to at most maxBytes without splitting a UTF-8 character, so that a
// UTF-8 text stays UTF-8 (and is not taken for Latin-1 as a whole).
std::string ClipUtf8(std::string text, size_t maxBytes);

}  // namespace belmor::common

#endif  // KORVEX_COMMON_ENCODING_H_
