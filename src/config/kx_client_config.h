#ifndef KORVEX_CONFIG_KX_CLIENT_CONFIG_H_
#define KORVEX_CONFIG_KX_CLIENT_CONFIG_H_

#include <string>

namespace belmor::korvex {

// Answered whenever the workstation has no identity and none can be stored.
inline constexpr const char* kFixedMachineId = "ABCDEF00-1111-2222-3333-444444444444";

// The identity of this workstation: the text of the file "machineID" in the
// machine-state directory. Without one, a new UUID is stored there (the
// directory is created if missing) and answered; where that cannot be written,
// as for ordinary users under the default directory, the answer is
// kFixedMachineId. Two processes racing to store an identity agree on the
// first one written. Computed on each call; safe from several threads.
std::string GetMachineId();

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_KX_CLIENT_CONFIG_H_
