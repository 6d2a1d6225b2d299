#include "platform/ui_language.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "scoped_env.h"

namespace belmor::platform {
namespace {

using belmor::testing::ScopedEnv;

TEST(UiLanguageTest, FirstNonEmptyLocaleVariableDecides) {
  struct Case {
    std::optional<std::string> lc_all, lc_messages, lang;
    std::string expected;
  };
  const Case cases[] = {
      {"fr_CH.UTF-8", std::nullopt, std::nullopt, "fr"},
      {"de_CH.UTF-8", std::nullopt, std::nullopt, "de"},
      {"fr", std::nullopt, std::nullopt, "fr"},
      {"en_US.UTF-8", "fr_CH.UTF-8", "fr_CH.UTF-8", "de"},
      {"", "fr_CH.UTF-8", "de_CH.UTF-8", "fr"},
      {std::nullopt, "de_CH.UTF-8", "fr_CH.UTF-8", "de"},
      {"", "", "fr_FR.UTF-8", "fr"},
      {std::nullopt, std::nullopt, "fr_BE", "fr"},
      {"C", std::nullopt, "fr_CH.UTF-8", "de"},
      {"it_CH.UTF-8", std::nullopt, std::nullopt, "de"},
      {std::nullopt, std::nullopt, std::nullopt, "de"},
      {"", "", "", "de"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("LC_ALL=" + c.lc_all.value_or("<unset>") + " LC_MESSAGES=" + c.lc_messages.value_or("<unset>") +
                 " LANG=" + c.lang.value_or("<unset>"));
    ScopedEnv lc_all("LC_ALL", c.lc_all);
    ScopedEnv lc_messages("LC_MESSAGES", c.lc_messages);
    ScopedEnv lang("LANG", c.lang);
    EXPECT_EQ(UiLanguage(), c.expected);
  }
}

}  // namespace
}  // namespace belmor::platform
