#include "transport/rpc_value.h"

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <locale.h>
#include <utility>

namespace belmor::korvex {

RpcValue::RpcValue(Kind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

RpcValue RpcValue::MakeInt(int32_t value) { return RpcValue(kInt, value); }
RpcValue RpcValue::MakeDouble(double value) { return RpcValue(kDouble, value); }
RpcValue RpcValue::MakeBoolean(bool value) { return RpcValue(kBoolean, value); }
RpcValue RpcValue::MakeString(std::string text) { return RpcValue(kString, std::move(text)); }
RpcValue RpcValue::MakeDateTime(int64_t seconds) { return RpcValue(kDateTime, seconds); }
RpcValue RpcValue::MakeBase64(std::string bytes) { return RpcValue(kBase64, std::move(bytes)); }
RpcValue RpcValue::MakeArray() { return RpcValue(kArray, Values()); }
RpcValue RpcValue::MakeStruct() { return RpcValue(kStruct, Members()); }
RpcValue RpcValue::MakeArray(Values values) { return RpcValue(kArray, std::move(values)); }
RpcValue RpcValue::MakeStruct(Members members) { return RpcValue(kStruct, std::move(members)); }
RpcValue RpcValue::MakeNull() { return RpcValue(kNull, std::monostate()); }

void RpcValue::ThrowConversion() { throw RpcError("Invalid type conversion"); }

const std::string& RpcValue::AsString() const {
  if (kind_ != kString && kind_ != kBase64) ThrowConversion();
  return std::get<std::string>(payload_);
}

int32_t RpcValue::AsInt() const {
  if (kind_ != kInt) ThrowConversion();
  return std::get<int32_t>(payload_);
}

double RpcValue::AsDouble() const {
  if (kind_ != kDouble) ThrowConversion();
  return std::get<double>(payload_);
}

bool RpcValue::AsBoolean() const {
  if (kind_ != kBoolean) ThrowConversion();
  return std::get<bool>(payload_);
}

int64_t RpcValue::AsDateTime() const {
  if (kind_ != kDateTime) ThrowConversion();
  return std::get<int64_t>(payload_);
}

const RpcValue::Values& RpcValue::AsArray() const {
  if (kind_ != kArray) ThrowConversion();
  return std::get<Values>(payload_);
}

RpcValue::Values& RpcValue::AsArray() {
  if (kind_ != kArray) ThrowConversion();
  return std::get<Values>(payload_);
}

const RpcValue::Members& RpcValue::AsStruct() const {
  if (kind_ != kStruct) ThrowConversion();
  return std::get<Members>(payload_);
}

RpcValue::Members& RpcValue::AsStruct() {
  if (kind_ != kStruct) ThrowConversion();
  return std::get<Members>(payload_);
}

void RpcValue::Append(RpcValue value) { AsArray().push_back(std::move(value)); }

void RpcValue::AppendMember(std::string name, RpcValue value) {
  AsStruct().push_back(RpcMember{std::move(name), std::move(value)});
}

const RpcValue& RpcValue::GetMember(std::string_view name) const {
  static const RpcValue kAbsent;
  for (const RpcMember& member : AsStruct()) {
    if (member.name == name) return member.value;
  }
  return kAbsent;
}

bool operator==(const RpcValue& a, const RpcValue& b) {
  return a.kind_ == b.kind_ && a.payload_ == b.payload_;
}

std::string FormatRpcDouble(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
  return std::string(text, result.ptr);
}

std::string FormatRpcDateTime(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (::localtime_r(&time, &local) == nullptr) return std::string();
  char text[64];
  const size_t length = std::strftime(text, sizeof text, "%Y%m%dT%H:%M:%S", &local);
  return std::string(text, length);
}

int32_t ParseRpcInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a negative number so that INT32_MIN needs no special case.
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value > kMin - 1) value = value * 10 - (text[i] - '0');
  }
  if (negative) return static_cast<int32_t>(value < kMin ? kMin : value);
  return static_cast<int32_t>(-value > kMax ? kMax : -value);
}

double ParseRpcDouble(const std::string& text) {
  // Replies carry "0.5" whatever locale the process runs in.
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  return ::strtod_l(text.c_str(), nullptr, c_locale);
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace belmor::korvex
