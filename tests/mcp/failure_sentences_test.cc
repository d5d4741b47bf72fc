// Every failure code of kex-computer has a sentence for the model.
#include "mcp/failure_sentences.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "main/common/failure.h"

namespace kex::mcp::test {
namespace {

TEST(FailureSentences, CoverExactlyKexComputersCatalogue) {
  const auto& codes = helperFailureCodes();
  EXPECT_EQ(codes.size(), 21u);
  std::set<std::string_view> distinct(codes.begin(), codes.end());
  EXPECT_EQ(distinct.size(), codes.size());
  for (const auto code : codes) EXPECT_TRUE(kex::isCatalogued(code)) << code;
}

TEST(FailureSentences, EachCodeHasItsOwnSentence) {
  std::set<std::string> sentences;
  for (const auto code : helperFailureCodes()) {
    const std::string sentence = sentenceFor(code, Subject::none);
    EXPECT_GT(sentence.size(), 40u) << code;
    EXPECT_EQ(sentence.find(code), std::string::npos) << "the model gets words, not " << code;
    EXPECT_TRUE(sentences.insert(sentence).second) << code;
  }
}

TEST(FailureSentences, StaleIdSentenceNamesWhatWentStale) {
  EXPECT_NE(sentenceFor("target_stale", Subject::capture).find("30 seconds"), std::string::npos);
  EXPECT_NE(sentenceFor("target_stale", Subject::window).find("list_windows"), std::string::npos);
  EXPECT_NE(sentenceFor("target_stale", Subject::element).find("accessibility tree"),
            std::string::npos);
  EXPECT_NE(sentenceFor("target_stale", Subject::display).find("list_displays"), std::string::npos);
}

TEST(FailureSentences, UnknownCodeIsNamedRatherThanHidden) {
  EXPECT_NE(sentenceFor("brand_new_code", Subject::none).find("brand_new_code"), std::string::npos);
}

TEST(FailureSentences, OnlyStopReasonsStopControl) {
  std::set<std::string_view> stopping;
  for (const auto code : helperFailureCodes()) {
    if (stopsControl(code)) stopping.insert(code);
  }
  EXPECT_EQ(stopping,
            (std::set<std::string_view>{"cancelled", "human_interrupted", "input_monitor_lost",
                                        "input_monitor_unavailable", "input_watchdog_lost"}));
}

}  // namespace
}  // namespace kex::mcp::test
