#include "transport/rpc_response.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include "transport/base64.h"
#include "transport/xml_pull_reader.h"

namespace belmor::korvex {
namespace {

// The character a numeric reference such as "&#xD;" or "&#233;" stands for,
// when `body` (the text between "&#" and ";") is one that XML allows.
bool DecodeCharacterReference(std::string_view body, uint32_t& code) {
  const bool hex = !body.empty() && (body[0] == 'x' || body[0] == 'X');
  if (hex) body.remove_prefix(1);
  if (body.empty() || body.size() > 8) return false;
  code = 0;
  for (const char c : body) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    code = code * (hex ? 16 : 10) + digit;
  }
  return code != 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}

// Character data of a string value. Besides the three entities and the
// carriage return that writers must escape, XML lets a peer escape quotes and
// any character by number; all of them are decoded so that such a peer's text
// arrives unchanged. An "&" that starts nothing known stays as it is.
std::string DecodeEntities(std::string text) {
  size_t amp = text.find('&');
  if (amp == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  out.append(text, 0, amp);
  while (amp < text.size()) {
    const size_t semicolon = text.find(';', amp + 1);
    bool decoded = false;
    if (semicolon != std::string::npos && semicolon - amp <= 12) {
      const std::string_view name(text.data() + amp + 1, semicolon - amp - 1);
      decoded = true;
      uint32_t code;
      if (name == "amp") {
        out.push_back('&');
      } else if (name == "lt") {
        out.push_back('<');
      } else if (name == "gt") {
        out.push_back('>');
      } else if (name == "quot") {
        out.push_back('"');
      } else if (name == "apos") {
        out.push_back('\'');
      } else if (name.starts_with('#') && DecodeCharacterReference(name.substr(1), code)) {
        AppendUtf8(out, code);
      } else {
        decoded = false;
      }
    }
    size_t next;
    if (decoded) {
      next = semicolon + 1;
    } else {
      out.push_back('&');
      next = amp + 1;
    }
    amp = text.find('&', next);
    if (amp == std::string::npos) amp = text.size();
    out.append(text, next, amp - next);
  }
  return out;
}

int64_t ParseDateTime(const std::string& text) {
  std::tm fields{};
  if (std::sscanf(text.c_str(), "%04d%02d%02dT%02d:%02d:%02d", &fields.tm_year, &fields.tm_mon, &fields.tm_mday,
                  &fields.tm_hour, &fields.tm_min, &fields.tm_sec) != 6) {
    throw RpcError("Invalid type conversion");
  }
  fields.tm_year -= 1900;
  fields.tm_mon -= 1;
  fields.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&fields));
}

RpcValue ParseValue(std::istream& in, int depth);

void CheckDepth(int depth) {
  if (depth > RpcResponse::kMaxDepth) throw RpcError("Invalid XML");
}

RpcValue ParseArray(std::istream& in, int depth) {
  CheckDepth(depth);
  RpcValue array = RpcValue::MakeArray();
  XmlPullReader reader(in);
  std::string tag = reader.NextTag();
  if (tag == "array") tag = reader.NextTag();
  if (tag == "data") {
    while (reader.NextTag() == "value") {
      array.Append(ParseValue(in, depth));
      reader.CloseTag();
    }
  }
  reader.CloseAll();
  return array;
}

// Ends having consumed the "</" of the closing "struct" tag; see ParseValue.
RpcValue ParseStruct(std::istream& in, int depth) {
  CheckDepth(depth);
  RpcValue record = RpcValue::MakeStruct();
  XmlPullReader reader(in);
  std::string tag = reader.NextTag();
  if (tag == "struct") tag = reader.NextTag();
  while (tag == "member") {
    if (reader.NextTag() != "name") break;
    // Member names are taken as written, entities included: the gates' peers
    // use plain ASCII names, and callers look them up byte for byte.
    std::string name = reader.ReadText();
    reader.CloseTag();
    RpcValue value = ParseValue(in, depth);
    record.AppendMember(std::move(name), std::move(value));
    reader.CloseTag();
    tag = reader.NextTag();
  }
  reader.CloseAll();
  return record;
}

// Parses one value, entered before or after its "value" tag.
RpcValue ParseValue(std::istream& in, int depth) {
  XmlPullReader reader(in);
  std::string tag = reader.NextTag();
  if (tag == "value") tag = reader.NextTag();
  RpcValue value;
  if (tag == "int" || tag == "i4") {
    value = RpcValue::MakeInt(ParseRpcInt(reader.ReadText()));
  } else if (tag == "double") {
    value = RpcValue::MakeDouble(ParseRpcDouble(reader.ReadText()));
  } else if (tag == "boolean") {
    value = RpcValue::MakeBoolean(ParseRpcInt(reader.ReadText()) != 0);
  } else if (tag == "dateTime.iso8601") {
    value = RpcValue::MakeDateTime(ParseDateTime(reader.ReadText()));
  } else if (tag == "base64") {
    std::string bytes;
    if (!Base64::Decode(reader.ReadText(), bytes)) throw RpcError("Invalid Base64");
    value = RpcValue::MakeBase64(std::move(bytes));
  } else if (tag == "array") {
    value = ParseArray(in, depth + 1);
  } else if (tag == "struct") {
    value = ParseStruct(in, depth + 1);
    // The struct level consumed the "</" of "</struct>".
    reader.SetInsideTag();
  } else {
    value = RpcValue::MakeString(DecodeEntities(reader.ReadText()));
  }
  reader.CloseAll();
  return value;
}

// A read-only stream buffer over text the caller keeps alive. Putting a
// character back only moves the read position, so the text is never written.
class TextViewBuffer : public std::streambuf {
 public:
  explicit TextViewBuffer(std::string_view text) {
    char* first = const_cast<char*>(text.data());
    setg(first, first, first + text.size());
  }
};

}  // namespace

void RpcResponse::Read(std::string_view text) {
  TextViewBuffer buffer(text);
  std::istream in(&buffer);
  Read(in);
}

void RpcResponse::Read(std::istream& in) {
  fault_ = false;
  result_ = RpcValue();
  XmlPullReader reader(in);
  if (reader.NextTag() != "methodResponse") return;
  const std::string tag = reader.NextTag();
  if (tag == "params") {
    if (reader.NextTag() == "param") result_ = ParseValue(in, 0);
  } else if (tag == "fault") {
    fault_ = true;
    result_ = ParseValue(in, 0);
  }
  reader.CloseAll();
}

}  // namespace belmor::korvex
