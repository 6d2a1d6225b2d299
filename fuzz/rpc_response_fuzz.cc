// Any bytes as an XML-RPC reply: reading must end in a value or an RpcError,
// never in a crash, a hang or a sanitizer report. What was read is written
// again in both text forms so the writers see every shape the reader makes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "transport/json.h"
#include "transport/rpc_request.h"
#include "transport/rpc_response.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace belmor::korvex;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  RpcResponse response;
  try {
    response.Read(in);
  } catch (const RpcError&) {
    return 0;
  }
  std::ostringstream out;
  WriteRpcValue(response.Result(), out);
  WriteJson(response.Result(), out);
  return 0;
}
