// Any bytes as the head of a request to the login's loopback listener: any
// local process can connect and send one. The parser must answer without a
// crash, and what it takes for the code and the state must come from the
// query of the request line and end where the query says, never reach into
// the headers.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_temp_dir.h"
#include "transport/oauth_redirect.h"

namespace {

void Check(const std::optional<std::string>& value, std::string_view line) {
  if (!value) return;
  if (value->find_first_of(" &\r\n") != std::string::npos) belmor::fuzz::Broken("a value runs past its end");
  if (line.find(*value) == std::string_view::npos) belmor::fuzz::Broken("a value is not from the request line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  const belmor::korvex::RedirectQuery query = belmor::korvex::ParseRedirectRequest(request);
  const std::string_view line = request.substr(0, request.find_first_of("\r\n"));
  Check(query.code, line);
  Check(query.state, line);
  return 0;
}
