#include "transport/json.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "transport/base64.h"

namespace belmor::korvex {
namespace {

void Put(std::ostream& out, std::string_view text) { out.write(text.data(), static_cast<std::streamsize>(text.size())); }

void PutQuoted(std::ostream& out, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  out.put('"');
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* escape;
    switch (text[i]) {
      case '\b': escape = "\\b"; break;
      case '\t': escape = "\\t"; break;
      case '\n': escape = "\\n"; break;
      case '\f': escape = "\\f"; break;
      case '\r': escape = "\\r"; break;
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      default: continue;
    }
    Put(out, text.substr(start, i - start));
    Put(out, escape);
    start = i + 1;
  }
  Put(out, text.substr(start));
  out.put('"');
}

void Write(const RpcValue& value, std::ostream& out) {
  switch (value.kind()) {
    case RpcValue::kInt:
      Put(out, std::to_string(value.AsInt()));
      break;
    case RpcValue::kDouble:
      Put(out, FormatRpcDouble(value.AsDouble()));
      break;
    case RpcValue::kBoolean:
      Put(out, value.AsBoolean() ? "true" : "false");
      break;
    case RpcValue::kString:
      PutQuoted(out, value.AsString());
      break;
    case RpcValue::kDateTime:
      PutQuoted(out, FormatRpcDateTime(value.AsDateTime()));
      break;
    case RpcValue::kBase64:
      PutQuoted(out, Base64::Encode(value.AsString()));
      break;
    case RpcValue::kArray: {
      out.put('[');
      bool first = true;
      for (const RpcValue& element : value.AsArray()) {
        if (!first) out.put(',');
        first = false;
        Write(element, out);
      }
      out.put(']');
      break;
    }
    case RpcValue::kStruct: {
      out.put('{');
      bool first = true;
      for (const RpcMember& member : value.AsStruct()) {
        if (!first) out.put(',');
        first = false;
        out.put('"');
        Put(out, member.name);
        Put(out, "\":");
        Write(member.value, out);
      }
      out.put('}');
      break;
    }
    case RpcValue::kNull:
      Put(out, "null");
      break;
    case RpcValue::kInvalid:
      break;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at text[at], or -1.
int32_t HexQuad(std::string_view text, size_t at) {
  if (at + 4 > text.size()) return -1;
  int32_t code = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return -1;
    code = code * 16 + digit;
  }
  return code;
}

// Decodes the escapes of a collected string. A "\u" escape that does not name
// a character (too few hex digits, a surrogate without its partner) is kept
// as written, like any unknown escape, so nothing the peer sent is lost.
std::string Unescape(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\' || i + 1 == raw.size()) {
      text.push_back(raw[i]);
      continue;
    }
    const char c = raw[i + 1];
    char plain;
    switch (c) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': {
        const int32_t code = HexQuad(raw, i + 2);
        if (code >= 0 && (code < 0xD800 || code > 0xDFFF)) {
          AppendUtf8(text, static_cast<uint32_t>(code));
          i += 5;
          continue;
        }
        if (code >= 0xD800 && code <= 0xDBFF && raw.substr(i + 6, 2) == "\\u") {
          const int32_t low = HexQuad(raw, i + 8);
          if (low >= 0xDC00 && low <= 0xDFFF) {
            AppendUtf8(text, 0x10000 + ((static_cast<uint32_t>(code) - 0xD800) << 10) +
                                 (static_cast<uint32_t>(low) - 0xDC00));
            i += 11;
            continue;
          }
        }
        text.push_back('\\');
        continue;
      }
      default:
        text.push_back('\\');
        continue;
    }
    text.push_back(plain);
    ++i;
  }
  return text;
}

bool IsJsonBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class JsonScanner {
 public:
  explicit JsonScanner(std::streambuf& buf) : buf_(buf) {}

  // Reads the next value into `value`; false when the input ended before any
  // character that starts a value.
  bool ReadValue(RpcValue& value, int depth) {
    for (;;) {
      const int c = buf_.sbumpc();
      switch (c) {
        case kEnd:
          return false;
        case '"':
          value = RpcValue::MakeString(ReadString());
          return true;
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
          value = ReadNumber(static_cast<char>(c));
          return true;
        case '[':
          value = ReadArray(depth + 1);
          return true;
        case '{':
          value = ReadObject(depth + 1);
          return true;
        case 't':
          value = ReadLiteral("rue", RpcValue::MakeBoolean(true));
          return true;
        case 'f':
          value = ReadLiteral("alse", RpcValue::MakeBoolean(false));
          return true;
        case 'n':
          value = ReadLiteral("ull", RpcValue::MakeNull());
          return true;
        default:
          continue;
      }
    }
  }

 private:
  static constexpr int kEnd = std::char_traits<char>::eof();

  static void CheckDepth(int depth) {
    if (depth > kMaxJsonDepth) throw RpcError("Invalid JSON");
  }

  // A backslash always takes the next character with it, so an escaped
  // backslash before the closing quote ("C:\\") does not hide that quote.
  std::string ReadString() {
    std::string raw;
    for (int c = buf_.sbumpc(); c != kEnd && c != '"'; c = buf_.sbumpc()) {
      raw.push_back(static_cast<char>(c));
      if (c == '\\') {
        c = buf_.sbumpc();
        if (c == kEnd) break;
        raw.push_back(static_cast<char>(c));
      }
    }
    return Unescape(raw);
  }

  RpcValue ReadNumber(char first) {
    std::string text(1, first);
    bool floating = false;
    for (int c = buf_.sgetc(); c != kEnd; c = buf_.sgetc()) {
      if (c == '.' || c == 'e' || c == 'E') {
        floating = true;
      } else if (!(c >= '0' && c <= '9') && c != '+' && c != '-') {
        break;
      }
      text.push_back(static_cast<char>(buf_.sbumpc()));
    }
    if (floating) return RpcValue::MakeDouble(ParseRpcDouble(text));
    return RpcValue::MakeInt(ParseRpcInt(text));
  }

  // The letters after the first one of true, false or null. At the first
  // letter that does not fit, the literal reads as Invalid and that letter is
  // left for whatever reads next.
  RpcValue ReadLiteral(std::string_view rest, RpcValue literal) {
    for (const char expected : rest) {
      if (buf_.sgetc() != static_cast<unsigned char>(expected)) return RpcValue();
      buf_.sbumpc();
    }
    return literal;
  }

  // Any JSON white space or "," may stand between elements; an array cut off
  // by the end of the input keeps its elements.
  RpcValue ReadArray(int depth) {
    CheckDepth(depth);
    RpcValue array = RpcValue::MakeArray();
    for (int c = buf_.sgetc(); c != kEnd; c = buf_.sgetc()) {
      if (IsJsonBlank(c) || c == ',') {
        buf_.sbumpc();
        continue;
      }
      if (c == ']') {
        buf_.sbumpc();
        break;
      }
      RpcValue element;
      if (!ReadValue(element, depth)) break;
      array.Append(std::move(element));
    }
    return array;
  }

  // An object cut off by the end of the input keeps its complete members; the
  // OAuth client relies on that when it reads a reply cut before its "}".
  RpcValue ReadObject(int depth) {
    CheckDepth(depth);
    RpcValue object = RpcValue::MakeStruct();
    for (int c = buf_.sgetc(); c != kEnd; c = buf_.sgetc()) {
      if (IsJsonBlank(c) || c == ',' || c == ':') {
        buf_.sbumpc();
        continue;
      }
      if (c == '}') {
        buf_.sbumpc();
        break;
      }
      RpcValue name;
      if (!ReadValue(name, depth)) break;
      if (name.kind() != RpcValue::kString) throw RpcError("Invalid type conversion");
      RpcValue member;
      if (!ReadValue(member, depth)) break;
      object.AppendMember(std::string(name.AsString()), std::move(member));
    }
    return object;
  }

  std::streambuf& buf_;
};

}  // namespace

void WriteJson(const RpcValue& value, std::ostream& out) { Write(value, out); }

void ReadJson(RpcValue& value, std::istream& in) {
  RpcValue read;
  JsonScanner(*in.rdbuf()).ReadValue(read, 0);
  value = std::move(read);
}

}  // namespace belmor::korvex
