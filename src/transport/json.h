#ifndef KORVEX_TRANSPORT_JSON_H_
#define KORVEX_TRANSPORT_JSON_H_

#include <istream>
#include <ostream>

#include "transport/rpc_value.h"

namespace belmor::korvex {

// The compact JSON form of a value, used for the OAuth token file and the
// token endpoint's replies. Written without any white space. Int and Double
// become numbers, Boolean true/false, String a string, Array an array,
// Struct an object in member order, Null null; DateTime (local time
// "%Y%m%dT%H:%M:%S") and Base64 are written as strings; Invalid as nothing.
// Strings stop at their first NUL; bytes above 127 pass unchanged.
void WriteJson(const RpcValue& value, std::ostream& out);

// Replaces `value` by the next JSON value in `in`; an empty or exhausted
// stream leaves it Invalid. A forgiving scanner: characters that cannot start
// a value are skipped, an object or array cut off by the end of the input
// keeps what was read, a literal that breaks off ("tru") reads as Invalid.
// Numbers with ".", "e" or "E" become Double, others Int clamped to 32 bits.
// "\uXXXX" escapes (with surrogate pairs) become UTF-8; an escape that names
// no character stays as written. Raises RpcError "Invalid type conversion"
// for an object member name that is not a string, and "Invalid JSON" for
// nesting deeper than kMaxJsonDepth.
void ReadJson(RpcValue& value, std::istream& in);

// Deeper nesting is refused so a hostile reply cannot exhaust the stack.
inline constexpr int kMaxJsonDepth = 200;

}  // namespace belmor::korvex

#endif  // KORVEX_TRANSPORT_JSON_H_
