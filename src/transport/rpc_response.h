#ifndef KORVEX_TRANSPORT_RPC_RESPONSE_H_
#define KORVEX_TRANSPORT_RPC_RESPONSE_H_

#include <istream>
#include <string_view>

#include "transport/rpc_value.h"

namespace belmor::korvex {

// One XML-RPC reply: its result and whether it came as a "fault" element.
// Reading is forgiving in the way the gates' peers need: declarations,
// comments and attributes are passed over, a truncated document yields what
// was read before its end, and mismatched closing tags do not stop it.
class RpcResponse {
 public:
  // Replaces fault flag and result by the "methodResponse" document read from
  // `in`. A document of another kind leaves the result Invalid. Raises
  // RpcError "Invalid XML" where text is expected inside a tag or values nest
  // deeper than kMaxDepth, "Invalid type conversion" for a dateTime without
  // its six fields, "Invalid Base64" for base64 text that is not Base64.
  void Read(std::istream& in);
  // Reads the document held in `text` in place, without copying it into a
  // stream first.
  void Read(std::string_view text);

  bool IsFault() const { return fault_; }
  const RpcValue& Result() const { return result_; }
  RpcValue& Result() { return result_; }

  // Arrays and structs nested deeper than this are refused rather than
  // parsed: the parser recurses once per level, and a hostile reply must not
  // exhaust the stack. Real replies nest two or three levels.
  static constexpr int kMaxDepth = 200;

 private:
  bool fault_ = false;
  RpcValue result_;
};

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_RPC_RESPONSE_H_
