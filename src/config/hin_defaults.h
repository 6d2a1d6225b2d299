#ifndef KORVEX_CONFIG_HIN_DEFAULTS_H_
#define KORVEX_CONFIG_HIN_DEFAULTS_H_

namespace belmor::korvex {

// Where the HIN OAuth service lives unless the settings name other hosts.
// Apart from the settings, so that the token store needs these and nothing
// else of them.
inline constexpr char kDefaultHinAuthUrl[] = "http://apps.hin.ch";
inline constexpr char kDefaultHinTokenUrl[] = "https://oauth2.hin.ch";
inline constexpr char kDefaultHinStartPage[] = "https://apps.hin.ch/";

}  // namespace belmor::korvex

#endif  // KORVEX_CONFIG_HIN_DEFAULTS_H_
