#ifndef KORVEX_TRANSPORT_RPC_REQUEST_H_
#define KORVEX_TRANSPORT_RPC_REQUEST_H_

#include <array>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/rpc_value.h"

namespace belmor::korvex {

// One argument of RpcRequest::Build. It only refers to the caller's object,
// which must live until Build returns; Build copies what it keeps.
class RpcArgument {
 public:
  enum class Type { kText, kInteger, kDouble, kValues, kMembers, kValue };

  // A C string counts up to its NUL; a std::string with all its bytes.
  RpcArgument(const char* text) : type_(Type::kText), text_(text) {}
  RpcArgument(const std::string& text) : type_(Type::kText), text_(text) {}
  RpcArgument(std::string_view text) : type_(Type::kText), text_(text) {}
  RpcArgument(int32_t number) : type_(Type::kInteger), integer_(number) {}
  RpcArgument(bool flag) : type_(Type::kInteger), integer_(flag ? 1 : 0) {}
  RpcArgument(double number) : type_(Type::kDouble), double_(number) {}
  RpcArgument(const RpcValue::Values& values) : type_(Type::kValues), values_(&values) {}
  RpcArgument(const RpcValue::Members& members) : type_(Type::kMembers), members_(&members) {}
  RpcArgument(const RpcValue& value) : type_(Type::kValue), value_(&value) {}

  // The parameter that signature letter `letter` makes of this argument, or
  // false when the letter is unknown or does not fit the argument.
  bool ToParameter(char letter, RpcValue& parameter) const;

 private:
  Type type_;
  std::string_view text_;
  int32_t integer_ = 0;
  double double_ = 0;
  const RpcValue::Values* values_ = nullptr;
  const RpcValue::Members* members_ = nullptr;
  const RpcValue* value_ = nullptr;
};

// One XML-RPC call: where it goes, the method and its parameters. Written as
// a "methodCall" document whose text the gates and their Python peers accept
// byte for byte.
class RpcRequest {
 public:
  RpcRequest() = default;
  explicit RpcRequest(std::string url) : url_(std::move(url)) {}

  // Sets the method and replaces the parameters from a signature such as
  // "S:sB": everything up to and including the first ":" describes the reply
  // and is ignored; each further letter turns the next argument into one
  // parameter:
  //   s text -> String      B text -> Base64 of its bytes
  //   b integer or bool -> Boolean (non-zero is true)
  //   i integer -> Int      d number -> Double
  //   A Values (or an Array value) -> Array     S Members (or a Struct value) -> Struct
  //   X any value -> a copy of it
  // Answers true when every letter found a fitting argument and every argument
  // was used. Otherwise false, keeping the parameters made before the letter
  // that failed: an unknown letter, an argument of the wrong type, too few or
  // too many arguments.
  template <typename... Args>
  bool Build(std::string methodName, std::string_view signature, const Args&... args) {
    const std::array<RpcArgument, sizeof...(Args)> list{RpcArgument(args)...};
    return BuildFrom(std::move(methodName), signature, list);
  }
  bool BuildFrom(std::string methodName, std::string_view signature, std::span<const RpcArgument> args);

  // Writes the "methodCall" document.
  void Write(std::ostream& out) const;
  // Appends the same document to `out`, reserving its exact size first: the
  // cheap way to make a POST body that carries a large invoice.
  void Write(std::string& out) const;

  const std::string& Url() const { return url_; }
  void SetUrl(std::string url) { url_ = std::move(url); }
  const std::string& MethodName() const { return method_name_; }
  void SetMethodName(std::string name) { method_name_ = std::move(name); }
  const RpcValue::Values& Params() const { return params_; }
  RpcValue::Values& Params() { return params_; }

 private:
  std::string url_;
  std::string method_name_;
  RpcValue::Values params_;
};

// The "<value>...</value>\n" text of one value as a request writes it.
void WriteRpcValue(const RpcValue& value, std::ostream& out);

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_RPC_REQUEST_H_
