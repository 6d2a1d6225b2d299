#ifndef KORVEX_PLATFORM_IDENTITY_H_
#define KORVEX_PLATFORM_IDENTITY_H_

#include <string>
#include <vector>

namespace belmor::platform {

// Who runs the program and on what: user, environment, machine and
// operating system, and fresh unique identifiers.

// The value of an environment variable; empty text when it is unset.
std::string EnvironmentVariable(const std::string& name);

// The whole environment of the process, one "NAME=value" entry per variable.
std::vector<std::string> Environment();

// The login name of the effective user, from the user database; $USER, then
// $LOGNAME when the database has no entry (containers with bare uids).
// Empty when nothing tells it.
std::string UserName();

// A new random (version 4) UUID as 36 lower-case characters with hyphens.
// Throws common::RuntimeException when the system has no randomness to give.
std::string CreateUuid();

// Where machine-wide state such as the file "machineID" lives:
// $KORVEX_MACHINE_STATE_DIR, else "/var/lib/belmor/korvex". Ordinary users
// cannot write the default, so callers must cope with that.
std::string MachineStateDirectory();

// The name of the operating system for the client description: PRETTY_NAME
// of /etc/os-release (or /usr/lib/os-release), else the uname system name
// and release, e.g. "Linux 6.1.0-18-amd64".
std::string ProductName();
// The same, reading the given os-release file instead of the system's.
std::string ProductName(const std::string& os_release_file);

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_IDENTITY_H_
