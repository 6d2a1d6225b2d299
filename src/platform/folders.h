#ifndef KORVEX_PLATFORM_FOLDERS_H_
#define KORVEX_PLATFORM_FOLDERS_H_

#include <string>

namespace belmor::platform {

// Folders the product keeps its files in, found the way the freedesktop
// conventions find them. Every function answers a path without a trailing
// slash, or empty text when the environment cannot tell the folder. Nothing
// here creates a folder.

// The user's configuration folder: $XDG_CONFIG_HOME, else $HOME/.config.
// Relative values of XDG variables are ignored, as the base-directory rules ask.
std::string RoamingAppDataFolder();

// RoamingAppDataFolder() + "/Belmor/korvex-ordiva"; empty when that folder is.
std::string ApplicationDataDirectory();

// The user's documents folder: $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR
// entry of user-dirs.dirs in the configuration folder, else $HOME/Documents.
std::string DocumentsFolder();

// The running program's own file, from /proc/self/exe.
std::string ProgramFile();

// The folder holding ProgramFile(); the shipped korvex.xml and korvex.xsd lie here.
std::string ProgramDirectory();

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_FOLDERS_H_
