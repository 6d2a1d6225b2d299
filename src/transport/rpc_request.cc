#include "transport/rpc_request.h"

#include <utility>

#include "transport/base64.h"

namespace belmor::korvex {
namespace {

// Where the writer puts its text. A document bound for a string is written
// twice: once into a CountingSink to learn its exact size, then into the
// reserved string, so a multi-megabyte invoice is never copied while the
// buffer grows.
class StreamSink {
 public:
  explicit StreamSink(std::ostream& out) : out_(out) {}
  void Put(std::string_view text) { out_.write(text.data(), static_cast<std::streamsize>(text.size())); }
  // Encodes in slices so the invoice needs no second full-size copy on its
  // way out; 3 * 16384 input bytes keep every slice free of padding.
  void PutBase64(std::string_view bytes) {
    constexpr size_t kSlice = 3 * 16384;
    for (size_t at = 0; at < bytes.size(); at += kSlice) Put(Base64::Encode(bytes.substr(at, kSlice)));
  }

 private:
  std::ostream& out_;
};

class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void Put(std::string_view text) { out_.append(text); }
  void PutBase64(std::string_view bytes) { Base64::Encode(bytes, out_); }

 private:
  std::string& out_;
};

class CountingSink {
 public:
  void Put(std::string_view text) { size_ += text.size(); }
  void PutBase64(std::string_view bytes) { size_ += Base64::EncodedSize(bytes.size()); }
  size_t size() const { return size_; }

 private:
  size_t size_ = 0;
};

// Writes the text up to its first NUL with "&", "<", ">" and carriage return
// escaped; quotes need no escape in element content. Runs without special
// characters go out in one piece.
template <typename Sink>
void PutEscaped(Sink& out, std::string_view text) {
  text = text.substr(0, text.find('\0'));
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity;
    switch (text[i]) {
      case '\r': entity = "&#xD;"; break;
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      default: continue;
    }
    out.Put(text.substr(start, i - start));
    out.Put(entity);
    start = i + 1;
  }
  out.Put(text.substr(start));
}

template <typename Sink>
void PutValue(const RpcValue& value, Sink& out) {
  out.Put("<value>");
  switch (value.kind()) {
    case RpcValue::kInt:
      out.Put("<int>");
      out.Put(std::to_string(value.AsInt()));
      out.Put("</int>");
      break;
    case RpcValue::kDouble:
      out.Put("<double>");
      out.Put(FormatRpcDouble(value.AsDouble()));
      out.Put("</double>");
      break;
    case RpcValue::kBoolean:
      out.Put(value.AsBoolean() ? "<boolean>1</boolean>" : "<boolean>0</boolean>");
      break;
    case RpcValue::kString:
      out.Put("<string>");
      PutEscaped(out, value.AsString());
      out.Put("</string>");
      break;
    case RpcValue::kDateTime:
      out.Put("<dateTime.iso8601>");
      out.Put(FormatRpcDateTime(value.AsDateTime()));
      out.Put("</dateTime.iso8601>");
      break;
    case RpcValue::kBase64:
      out.Put("<base64>");
      out.PutBase64(value.AsString());
      out.Put("</base64>");
      break;
    case RpcValue::kArray:
      out.Put("<array>\n  <data>\n");
      for (const RpcValue& element : value.AsArray()) {
        out.Put("    ");
        PutValue(element, out);
      }
      out.Put("  </data>\n</array>");
      break;
    case RpcValue::kStruct:
      out.Put("<struct>\n");
      for (const RpcMember& member : value.AsStruct()) {
        out.Put("  <member>\n    <name>");
        out.Put(member.name);
        out.Put("</name>\n    ");
        PutValue(member.value, out);
        out.Put("  </member>\n");
      }
      out.Put("</struct>");
      break;
    case RpcValue::kInvalid:
    case RpcValue::kNull:
      break;
  }
  out.Put("</value>\n");
}

template <typename Sink>
void PutCall(const std::string& methodName, const RpcValue::Values& params, Sink& out) {
  out.Put("<?xml version=\"1.0\"?>\n<methodCall>\n  <methodName>");
  out.Put(methodName);
  out.Put("</methodName>\n  <params>\n");
  for (const RpcValue& param : params) {
    out.Put("    <param>\n");
    PutValue(param, out);
    out.Put("    </param>\n");
  }
  out.Put("  </params>\n</methodCall>\n");
}

}  // namespace

bool RpcArgument::ToParameter(char letter, RpcValue& parameter) const {
  switch (letter) {
    case 's':
      if (type_ != Type::kText) return false;
      parameter = RpcValue::MakeString(std::string(text_));
      return true;
    case 'B':
      if (type_ != Type::kText) return false;
      parameter = RpcValue::MakeBase64(std::string(text_));
      return true;
    case 'b':
      if (type_ != Type::kInteger) return false;
      parameter = RpcValue::MakeBoolean(integer_ != 0);
      return true;
    case 'i':
      if (type_ != Type::kInteger) return false;
      parameter = RpcValue::MakeInt(integer_);
      return true;
    case 'd':
      if (type_ == Type::kInteger) {
        parameter = RpcValue::MakeDouble(integer_);
      } else if (type_ == Type::kDouble) {
        parameter = RpcValue::MakeDouble(double_);
      } else {
        return false;
      }
      return true;
    case 'A':
      if (type_ == Type::kValues) {
        parameter = RpcValue::MakeArray(*values_);
      } else if (type_ == Type::kValue && value_->kind() == RpcValue::kArray) {
        parameter = *value_;
      } else {
        return false;
      }
      return true;
    case 'S':
      if (type_ == Type::kMembers) {
        parameter = RpcValue::MakeStruct(*members_);
      } else if (type_ == Type::kValue && value_->kind() == RpcValue::kStruct) {
        parameter = *value_;
      } else {
        return false;
      }
      return true;
    case 'X':
      if (type_ != Type::kValue) return false;
      parameter = *value_;
      return true;
    default:
      return false;
  }
}

bool RpcRequest::BuildFrom(std::string methodName, std::string_view signature, std::span<const RpcArgument> args) {
  method_name_ = std::move(methodName);
  params_.clear();
  const size_t colon = signature.find(':');
  const std::string_view letters = colon == std::string_view::npos ? std::string_view() : signature.substr(colon + 1);
  size_t next = 0;
  for (const char letter : letters) {
    if (next == args.size()) return false;
    RpcValue parameter;
    if (!args[next++].ToParameter(letter, parameter)) return false;
    params_.push_back(std::move(parameter));
  }
  return next == args.size();
}

void RpcRequest::Write(std::ostream& out) const {
  StreamSink sink(out);
  PutCall(method_name_, params_, sink);
}

void RpcRequest::Write(std::string& out) const {
  CountingSink counter;
  PutCall(method_name_, params_, counter);
  out.reserve(out.size() + counter.size());
  StringSink sink(out);
  PutCall(method_name_, params_, sink);
}

void WriteRpcValue(const RpcValue& value, std::ostream& out) {
  StreamSink sink(out);
  PutValue(value, sink);
}

}  // namespace belmor::korvex
