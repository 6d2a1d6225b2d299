#include "transport/rpc_request.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/base64.h"

namespace belmor::korvex {
namespace {

void Put(std::ostream& out, std::string_view text) { out.write(text.data(), static_cast<std::streamsize>(text.size())); }

// Writes the text up to its first NUL with "&", "<", ">" and carriage return
// escaped; quotes need no escape in element content. Runs without special
// characters go out in one piece.
void PutEscaped(std::ostream& out, std::string_view text) {
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
    Put(out, text.substr(start, i - start));
    Put(out, entity);
    start = i + 1;
  }
  Put(out, text.substr(start));
}

// Encodes in slices so a multi-megabyte invoice needs no second full-size copy
// on its way out; 3 * 16384 input bytes keep every slice free of padding.
void PutBase64(std::ostream& out, std::string_view bytes) {
  constexpr size_t kSlice = 3 * 16384;
  for (size_t at = 0; at < bytes.size(); at += kSlice) {
    Put(out, Base64::Encode(bytes.substr(at, kSlice)));
  }
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
  Put(out, "<?xml version=\"1.0\"?>\n<methodCall>\n  <methodName>");
  Put(out, method_name_);
  Put(out, "</methodName>\n  <params>\n");
  for (const RpcValue& param : params_) {
    Put(out, "    <param>\n");
    WriteRpcValue(param, out);
    Put(out, "    </param>\n");
  }
  Put(out, "  </params>\n</methodCall>\n");
}

void WriteRpcValue(const RpcValue& value, std::ostream& out) {
  Put(out, "<value>");
  switch (value.kind()) {
    case RpcValue::kInt:
      Put(out, "<int>");
      Put(out, std::to_string(value.AsInt()));
      Put(out, "</int>");
      break;
    case RpcValue::kDouble:
      Put(out, "<double>");
      Put(out, FormatRpcDouble(value.AsDouble()));
      Put(out, "</double>");
      break;
    case RpcValue::kBoolean:
      Put(out, value.AsBoolean() ? "<boolean>1</boolean>" : "<boolean>0</boolean>");
      break;
    case RpcValue::kString:
      Put(out, "<string>");
      PutEscaped(out, value.AsString());
      Put(out, "</string>");
      break;
    case RpcValue::kDateTime:
      Put(out, "<dateTime.iso8601>");
      Put(out, FormatRpcDateTime(value.AsDateTime()));
      Put(out, "</dateTime.iso8601>");
      break;
    case RpcValue::kBase64:
      Put(out, "<base64>");
      PutBase64(out, value.AsString());
      Put(out, "</base64>");
      break;
    case RpcValue::kArray:
      Put(out, "<array>\n  <data>\n");
      for (const RpcValue& element : value.AsArray()) {
        Put(out, "    ");
        WriteRpcValue(element, out);
      }
      Put(out, "  </data>\n</array>");
      break;
    case RpcValue::kStruct:
      Put(out, "<struct>\n");
      for (const RpcMember& member : value.AsStruct()) {
        Put(out, "  <member>\n    <name>");
        Put(out, member.name);
        Put(out, "</name>\n    ");
        WriteRpcValue(member.value, out);
        Put(out, "  </member>\n");
      }
      Put(out, "</struct>");
      break;
    case RpcValue::kInvalid:
    case RpcValue::kNull:
      break;
  }
  Put(out, "</value>\n");
}

}  // namespace belmor::korvex
