#include "server/bus_error.h"

#include <sdbus-c++/Error.h>

#include <cstdio>

namespace belmor::korvex::server {

std::string BusErrorName(BusFailure failure) {
  const char* name = "Fail";
  switch (failure) {
    case BusFailure::NotImplemented: name = "NotImplemented"; break;
    case BusFailure::ClassNotAvailable: name = "ClassNotAvailable"; break;
    case BusFailure::Busy: name = "Busy"; break;
    case BusFailure::Fail: name = "Fail"; break;
    case BusFailure::InvalidArg: name = "InvalidArg"; break;
  }
  return std::string("ch.belmor.Korvex.Error.") + name;
}

std::string HresultText(BusFailure failure) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(failure));
  return text;
}

void ThrowBusError(BusFailure failure, const std::string& detail) {
  std::string message = HresultText(failure);
  if (!detail.empty()) message += ": " + detail;
  throw sdbus::Error(BusErrorName(failure), message);
}

}  // namespace belmor::korvex::server
