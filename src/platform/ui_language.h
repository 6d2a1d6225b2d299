#ifndef KORVEX_PLATFORM_UI_LANGUAGE_H_
#define KORVEX_PLATFORM_UI_LANGUAGE_H_

#include <string>

namespace belmor::platform {

// The language the user reads, as the message catalogue knows it: "fr" when
// the first non-empty of LC_ALL, LC_MESSAGES and LANG begins with "fr", "de"
// otherwise (German is the product's default, also for "C" and unset locales).
std::string UiLanguage();

}  // namespace belmor::platform

#endif  // KORVEX_PLATFORM_UI_LANGUAGE_H_
