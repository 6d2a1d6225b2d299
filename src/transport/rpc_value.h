#ifndef KORVEX_TRANSPORT_RPC_VALUE_H_
#define KORVEX_TRANSPORT_RPC_VALUE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/exception.h"

namespace belmor::korvex {

// Failures of the XML-RPC and JSON codecs and of typed access to a value: a
// reply or a token answer of the wrong shape. A RuntimeException like every
// other failure of outside input, so each guard that keeps a run going also
// catches it; a caller that treats it apart catches it before
// RuntimeException. Message() is the bare text, e.g. "Invalid type
// conversion".
KORVEX_DECLARE_EXCEPTION(RpcError, common::RuntimeException, "RPC error");

struct RpcMember;

// A tagged value carried by XML-RPC calls and replies and by the JSON files of
// the OAuth client. Values own their payload and copy deeply. Not thread-safe;
// a const value may be read from several threads.
class RpcValue {
 public:
  // The numeric codes are part of the interface and never change.
  enum Kind : int32_t {
    kInvalid = 0,
    kInt = 1,
    kDouble = 2,
    kBoolean = 3,
    kString = 4,
    kDateTime = 5,
    kBase64 = 6,
    kArray = 7,
    kStruct = 8,
    kNull = 9,
  };
  using Values = std::vector<RpcValue>;
  // Insertion order is kept and names may repeat.
  using Members = std::vector<RpcMember>;

  RpcValue() = default;

  static RpcValue MakeInt(int32_t value);
  static RpcValue MakeDouble(double value);
  static RpcValue MakeBoolean(bool value);
  static RpcValue MakeString(std::string text);
  // Seconds since 1970; the wire forms show it as local time.
  static RpcValue MakeDateTime(int64_t seconds);
  // The decoded bytes; the codecs encode them when writing.
  static RpcValue MakeBase64(std::string bytes);
  // Empty ones. (No default arguments: they would need RpcMember complete here.)
  static RpcValue MakeArray();
  static RpcValue MakeStruct();
  static RpcValue MakeArray(Values values);
  static RpcValue MakeStruct(Members members);
  static RpcValue MakeNull();

  Kind kind() const { return kind_; }
  bool IsValid() const { return kind_ != kInvalid; }

  // Typed access. Each raises RpcError "Invalid type conversion" for any
  // other kind. AsString serves String and Base64 (the decoded bytes).
  const std::string& AsString() const;
  int32_t AsInt() const;
  double AsDouble() const;
  bool AsBoolean() const;
  int64_t AsDateTime() const;
  const Values& AsArray() const;
  Values& AsArray();
  const Members& AsStruct() const;
  Members& AsStruct();

  // Array only.
  void Append(RpcValue value);
  // Struct only; appends even when the name is already present.
  void AppendMember(std::string name, RpcValue value);
  // Struct only: the first member whose name equals `name` byte for byte, or
  // an Invalid value when there is none.
  const RpcValue& GetMember(std::string_view name) const;

  // Deep equality of kind and payload.
  friend bool operator==(const RpcValue& a, const RpcValue& b);

 private:
  // String and Base64 share the text slot, Invalid and Null carry nothing;
  // kind_ tells them apart.
  using Payload = std::variant<std::monostate, int32_t, double, bool, int64_t, std::string, Values, Members>;

  RpcValue(Kind kind, Payload payload);
  [[noreturn]] static void ThrowConversion();

  Kind kind_ = kInvalid;
  Payload payload_;
};

struct RpcMember {
  std::string name;
  RpcValue value;

  friend bool operator==(const RpcMember& a, const RpcMember& b) = default;
};

// Text forms of scalars shared by the XML-RPC and JSON codecs.

// printf's "%g": six significant digits, trailing zeros dropped, exponent
// form below 1e-4 and from 1e6 on. Independent of the process locale, so a
// French or German locale never turns the point into a comma.
std::string FormatRpcDouble(double value);
// The local time of `seconds` as "%Y%m%dT%H:%M:%S"; empty when the system
// cannot represent it.
std::string FormatRpcDateTime(int64_t seconds);
// Base-10 integer: leading white space skipped, optional sign, stops at the
// first non-digit, 0 without digits, clamped to the 32-bit range.
int32_t ParseRpcInt(std::string_view text);
// Floating-point text as strtod reads it in the C locale; 0 when there is no
// number.
double ParseRpcDouble(const std::string& text);
// Appends the UTF-8 form of a Unicode code point (at most U+10FFFF).
void AppendUtf8(std::string& out, uint32_t code);

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_RPC_VALUE_H_
