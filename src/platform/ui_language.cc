#include "platform/ui_language.h"

#include "platform/identity.h"

namespace belmor::platform {

std::string UiLanguage() {
  // The order in which the C library itself looks for the message language.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::string locale = EnvironmentVariable(name);
    if (!locale.empty()) return locale.starts_with("fr") ? "fr" : "de";
  }
  return "de";
}

}  // namespace belmor::platform
