#include "base/environment.h"

#include <gtest/gtest.h>

#include <map>

namespace kestrun {
namespace {

TEST(EnvironmentBlock, GetFindsTheFirstEntryOfTheWholeNameCaseIncluded) {
  const EnvironmentBlock block = {"AB=x", "A=first", "A=second", "E="};
  EXPECT_EQ(block.Get("A"), "first");
  EXPECT_EQ(block.Get("AB"), "x");
  EXPECT_EQ(block.Get("E"), "");
  EXPECT_EQ(block.Get("a"), std::nullopt);
  EXPECT_EQ(block.Get("ABC"), std::nullopt);
  EXPECT_EQ(block.Get(""), std::nullopt);
}

TEST(EnvironmentBlock, PutReplacesTheFirstEntryOfItsNameInPlaceOrAppends) {
  EnvironmentBlock block = {"AB=x", "A=first", "A=second", "B=3"};
  block.Put("A=new");
  block.Put("C=");
  block.Put("C=3");
  block.Put("a=low");
  EXPECT_EQ(block.entries(),
            (std::vector<std::string>{"AB=x", "A=new", "A=second", "B=3", "C=3", "a=low"}));
  EXPECT_EQ(block.Get("A"), "new");
  EXPECT_EQ(block.Get("C"), "3");
  EXPECT_EQ(block.Get("a"), "low");
  // The vector moves its strings as it grows; the index holds positions.
  for (int i = 0; i < 1000; ++i) block.Put("V" + std::to_string(i) + "=v");
  EXPECT_EQ(block.size(), 1006u);
  EXPECT_EQ(block.Get("V0"), "v");
  EXPECT_EQ(block.Get("AB"), "x");
}

TEST(ProcessEnvironment, PutThenGetAndReplace) {
  EXPECT_EQ(PutEnvLocked("KES_ENV_TEST=one"), 0);
  EXPECT_EQ(GetEnvLocked("KES_ENV_TEST"), "one");
  EXPECT_EQ(PutEnvLocked("KES_ENV_TEST=two=2"), 0);
  EXPECT_EQ(GetEnvLocked("KES_ENV_TEST"), "two=2");
  EXPECT_EQ(GetEnvLocked("KES_ENV_TEST_NEVER_SET"), std::nullopt);
  EXPECT_NE(PutEnvLocked("=value"), 0);
}

// Expansion against a fixed table, so each rule is seen in isolation.
std::string Expand(std::string_view text) {
  static const std::map<std::string, std::string, std::less<>> vars = {
      {"HOME", "/srv/k"}, {"A", "x"}, {"A_1", "y"}, {"5", "five"}, {"EMPTY", ""}};
  return ExpandVariables(text, [](std::string_view name) -> std::optional<std::string> {
    const auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  });
}

TEST(ExpandVariables, PlainAndBracedReferencesAreEquivalent) {
  EXPECT_EQ(Expand("$HOME/scripts/x.bat"), "/srv/k/scripts/x.bat");
  EXPECT_EQ(Expand("${HOME}/scripts/x.bat"), "/srv/k/scripts/x.bat");
  EXPECT_EQ(Expand("{{${{HOME}}}}"), "{{/srv/k}}");
}

TEST(ExpandVariables, NameIsTheLongestRunOfNameCharacters) {
  EXPECT_EQ(Expand("$A_1-$A.$A"), "y-x.x");
  EXPECT_EQ(Expand("$5"), "five");
  EXPECT_EQ(Expand("$Ax"), "");
}

TEST(ExpandVariables, UnsetGivesEmptyAndLoneDollarIsDropped) {
  EXPECT_EQ(Expand("$UNSET/x"), "/x");
  EXPECT_EQ(Expand("50$ off"), "50 off");
  EXPECT_EQ(Expand("cost $"), "cost ");
  EXPECT_EQ(Expand("$$A"), "x");
  EXPECT_EQ(Expand("${}"), "{}");
  EXPECT_EQ(Expand("$EMPTY!"), "!");
}

TEST(ExpandVariables, ClosingBracesOnlyUpToTheNumberOpened) {
  EXPECT_EQ(Expand("${A}}"), "x}");
  EXPECT_EQ(Expand("${{A}"), "x");
  EXPECT_EQ(Expand("${A"), "x");
}

TEST(ExpandVariables, ResultMayBeLongerThanTheInput) {
  std::string text;
  for (int k = 0; k < 1000; ++k) text += "$HOME";
  EXPECT_EQ(Expand(text).size(), 6000u);
}

TEST(ExpandVariables, ABoundedExpansionGivesUpBeforePassingItsLimit) {
  int lookups = 0;
  const VariableLookup counted = [&lookups](std::string_view) -> std::optional<std::string> {
    ++lookups;
    return std::string(1000, 'v');
  };
  // 100 references of 1000 bytes each: 100,000 bytes that must never be built.
  std::string text;
  for (int k = 0; k < 100; ++k) text += "$X";
  EXPECT_EQ(ExpandVariables(text, counted, 5000), std::nullopt);
  EXPECT_EQ(lookups, 6);  // five fit, the sixth does not
  EXPECT_EQ(ExpandVariables("ab$X", counted, 1002)->size(), 1002u);
  EXPECT_EQ(ExpandVariables("ab$X", counted, 1001), std::nullopt);
  EXPECT_EQ(ExpandVariables("plain text", counted, 9), std::nullopt);
  EXPECT_EQ(ExpandVariables("plain text", counted, 10), "plain text");
}

TEST(ExpandVariables, BlockAndProcessEnvironmentSources) {
  const EnvironmentBlock block = {"KESJOBNAME=NIGHTLY"};
  EXPECT_EQ(ExpandVariables("job ${KESJOBNAME}", block), "job NIGHTLY");
  PutEnvLocked("KES_EXPAND_TEST=proc");
  EXPECT_EQ(ExpandVariables("$KES_EXPAND_TEST!"), "proc!");
  EXPECT_EQ(ExpandVariables("$KES_EXPAND_TEST!", block), "!");
}

}  // namespace
}  // namespace kestrun
