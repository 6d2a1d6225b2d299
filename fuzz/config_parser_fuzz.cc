// Any bytes as the trust-center configuration "korvex.xml", which comes from
// the network. Parsing must end in a configuration (complete or not) or in an
// exception of the configuration loading, never in a crash, a hang or a
// sanitizer report; so must using what it read: choosing a rule for an
// invoice (the rules' expressions come from the file too) and a center.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "common/exception.h"
#include "config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace belmor::korvex;
  Config config;
  try {
    config.Parse(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const belmor::common::Exception&) {
  }
  (void)config.Good();
  try {
    (void)config.FindRule("<?xml version=\"1.0\"?>\n<invoice xmlns=\"urn:belmor:fixture:invoice:1.0\"><id>4711</id></invoice>");
  } catch (const belmor::common::Exception&) {
  }
  for (const auto& center : config.Centers()) {
    config.SelectCenter(center->id);
    config.SelectCenter(center->labelNEW);
  }
  return 0;
}
