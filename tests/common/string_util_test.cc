#include "common/string_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace belmor::common {
namespace {

TEST(SplitTest, PiecesBetweenSeparators) {
  using Pieces = std::vector<std::string>;
  const std::pair<const char*, Pieces> cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a|b|c", {"a", "b", "c"}},
      {"a||b", {"a", "", "b"}},
      {"a|b|", {"a", "b"}},
      {"a||", {"a", ""}},
      {"|a", {"", "a"}},
      {"|", {""}},
      {"||", {"", ""}},
  };
  for (const auto& [text, pieces] : cases) {
    EXPECT_EQ(Split(text, '|'), pieces) << '"' << text << '"';
  }
  EXPECT_EQ(Split("x,y|z", ','), (Pieces{"x", "y|z"}));
}

}  // namespace
}  // namespace belmor::common
