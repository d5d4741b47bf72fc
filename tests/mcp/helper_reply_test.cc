// Reading kex-computer's response lines, with a capture's image cut out rather than parsed.
#include "mcp/helper_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace kex::mcp::test {
namespace {

TEST(HelperReply, CaptureImageIsCutOutAndTheRestParsed) {
  const std::string image = "iVBORw0KGgo+/AAAA==";
  const std::string line =
      R"({"id":"kex-mcp-3","ok":true,"result":{"captureId":"C","height":2,"image":")" + image +
      R"(","title":"x","width":3}})";
  const auto reply = parseHelperReply(line);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->ok);
  EXPECT_EQ(reply->id, "kex-mcp-3");
  EXPECT_EQ(reply->image, image);
  EXPECT_EQ(reply->result["image"], "");
  EXPECT_EQ(reply->result["captureId"], "C");
  EXPECT_EQ(reply->result["width"], 3);
}

TEST(HelperReply, ImageWithEscapesIsReadTheSlowWay) {
  const auto reply =
      parseHelperReply(R"({"id":"a","ok":true,"result":{"image":"ab\/cd","width":1}})");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->image, "ab/cd");
  EXPECT_EQ(reply->result["image"], "");
}

TEST(HelperReply, ImageKeyInsideAStringIsNotMistakenForTheImage) {
  const auto reply = parseHelperReply(
      R"({"id":"a","ok":true,"result":{"windows":[{"title":"x\"image\":\"y","targetId":"T"}]}})");
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->image.empty());
  EXPECT_EQ(reply->result["windows"][0]["title"], "x\"image\":\"y");
}

TEST(HelperReply, FailureCarriesItsCodeAndWhetherInputMayHaveGoneOut) {
  const auto refused =
      parseHelperReply(R"({"id":"a","ok":false,"error":"focus_changed","dispatched":false})");
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->ok);
  EXPECT_EQ(refused->code, "focus_changed");
  EXPECT_FALSE(refused->dispatched);
  const auto unsure = parseHelperReply(R"({"id":"a","ok":false,"error":"human_interrupted"})");
  ASSERT_TRUE(unsure);
  EXPECT_TRUE(unsure->dispatched) << "a failure that does not say counts as possibly dispatched";
}

TEST(HelperReply, LinesThatAreNoResponsesAreRejected) {
  for (const std::string line :
       {"", "not json", "[1]", R"({"ok":true,"result":{}})", R"({"id":1,"ok":true,"result":{}})",
        R"({"id":"a","ok":"yes","result":{}})", R"({"id":"a","ok":true,"result":[]})",
        R"({"id":"a","ok":false})", R"({"id":"a","ok":false,"error":3})"}) {
    EXPECT_FALSE(parseHelperReply(line)) << line;
  }
}

}  // namespace
}  // namespace kex::mcp::test
