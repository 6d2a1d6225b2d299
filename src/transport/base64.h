#ifndef KORVEX_TRANSPORT_BASE64_H_
#define KORVEX_TRANSPORT_BASE64_H_

#include <string>
#include <string_view>

namespace belmor::korvex {

// Standard Base64 (RFC 4648 alphabet, "=" padding) for the invoice bodies and
// replies that cross the gates.
class Base64 {
 public:
  // No line breaks, padded to a multiple of four characters.
  static std::string Encode(std::string_view bytes);
  // The same text appended to `text`, with no intermediate copy.
  static void Encode(std::string_view bytes, std::string& text);
  static size_t EncodedSize(size_t byteCount) { return (byteCount + 2) / 3 * 4; }

  // Decodes `text` into `bytes` and answers true, or answers false and leaves
  // `bytes` empty when the text is not Base64. Blanks, tabs and line ends are
  // skipped anywhere, because Python and MIME encoders break lines every 76
  // characters. Padding is optional, but once it starts only padding and
  // white space may follow. Any other character, or a final group of a single
  // character (which cannot hold a byte), makes the text invalid: a damaged
  // invoice must never pass as a shorter or altered one.
  static bool Decode(std::string_view text, std::string& bytes);
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_BASE64_H_
