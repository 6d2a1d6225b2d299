// Any bytes as JSON: every value the stream holds is read in turn, then
// written again. Reading must end in values or an RpcError, never in a crash,
// a hang or a sanitizer report.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "transport/json.h"
#include "transport/rpc_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace belmor::korvex;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream out;
  try {
    for (;;) {
      RpcValue value;
      ReadJson(value, in);
      if (!value.IsValid() && in.rdbuf()->sgetc() == std::char_traits<char>::eof()) break;
      WriteJson(value, out);
      WriteRpcValue(value, out);
    }
  } catch (const RpcError&) {
  }
  return 0;
}
