#ifndef KORVEX_SERVER_BUS_ERROR_H_
#define KORVEX_SERVER_BUS_ERROR_H_

#include <cstdint>
#include <string>

namespace belmor::korvex::server {

// The failure results a client sees, each as the D-Bus error
// "ch.belmor.Korvex.Error.<Name>" whose message starts with the HRESULT.
enum class BusFailure : uint32_t {
  NotImplemented = 0x80004001,     // E_NOTIMPL
  ClassNotAvailable = 0x80040111,  // CLASS_E_CLASSNOTAVAILABLE
  Busy = 0x800700AA,               // HRESULT_FROM_WIN32(ERROR_BUSY)
  Fail = 0x80004005,               // E_FAIL
  InvalidArg = 0x80070057,         // E_INVALIDARG
};

// "ch.belmor.Korvex.Error.Busy" and the like.
std::string BusErrorName(BusFailure failure);
// "0x800700AA" and the like.
std::string HresultText(BusFailure failure);

// Throws the sdbus::Error for failure; detail, when given, follows the code.
[[noreturn]] void ThrowBusError(BusFailure failure, const std::string& detail = std::string());

}  // namespace belmor::korvex::server

#endif  // KORVEX_SERVER_BUS_ERROR_H_
