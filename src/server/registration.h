#ifndef KORVEX_SERVER_REGISTRATION_H_
#define KORVEX_SERVER_REGISTRATION_H_

#include <string>
#include <vector>

namespace belmor::korvex::server {

enum class Switch { None, UnregServer, RegServer, UnregServerPerUser, RegServerPerUser };

// The registration switch of a command line: the first token that starts
// with "-" or "/" and whose word, up to a blank or tab and without regard to
// case, is one of the four switch names. A longer word ("RegServerX") is no
// switch.
Switch FindSwitch(const std::vector<std::string>& arguments);

// Where the activation file and the interface description go.
struct RegistrationPlace {
  std::string servicesDir;    // .../dbus-1/services
  std::string interfacesDir;  // .../dbus-1/interfaces
};

// Machine-wide: <prefix>/share/dbus-1, the prefix being the program
// directory's parent (or, for the installed <prefix>/lib/korvex-ordiva, two
// levels up).
RegistrationPlace MachinePlace(const std::string& programFile);
// Per user: $XDG_DATA_HOME/dbus-1, or $HOME/.local/share/dbus-1.
RegistrationPlace UserPlace();

inline constexpr const char* kServiceFileName = "ch.belmor.Korvex.service";
inline constexpr const char* kInterfaceFileName = "ch.belmor.Korvex.xml";

// The activation file's text for the program at programFile.
std::string ServiceFileText(const std::string& programFile);
// The interface description the program was built from.
const std::string& InterfaceXml();

// Writes both files (and creates the machine identity); throws
// std::runtime_error with a one-line reason.
void Register(const RegistrationPlace& place, const std::string& programFile);
// Removes exactly the two files Register writes; missing ones are fine.
void Unregister(const RegistrationPlace& place);

// Runs a switch: 0, or 1 after a one-line reason on stderr.
int RunSwitch(Switch which, const std::string& programFile);

}  // namespace belmor::korvex::server

#endif  // KORVEX_SERVER_REGISTRATION_H_
