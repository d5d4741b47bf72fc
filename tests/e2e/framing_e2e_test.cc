// Line framing on stdin and stdout: one response line per request line, whatever the bytes.
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using LineFramingE2E = E2ETest;

constexpr std::size_t kLineLimit = 16384;

// A status request whose JSON text is exactly `bytes` long, padded with spaces before its
// closing brace.
std::string paddedStatusRequest(std::string_view id, std::size_t bytes) {
  std::string line = harness::Helper::envelope(id, "status", json::object());
  line.pop_back();
  line.append(bytes - line.size() - 1, ' ');
  line.push_back('}');
  return line;
}

TEST_F(LineFramingE2E, ParsesALineOfExactly16384Bytes) {
  const std::string line = paddedStatusRequest("longest", kLineLimit);
  ASSERT_EQ(line.size(), kLineLimit);
  ASSERT_TRUE(helper().sendLine(line));
  const json response = helper().readResponse();
  EXPECT_EQ(response.value("id", ""), "longest");
  EXPECT_EQ(response.value("ok", false), true) << response.dump();
}

TEST_F(LineFramingE2E, RefusesALineOf16385BytesAsInvalidArguments) {
  const std::string line = paddedStatusRequest("too-long", kLineLimit + 1);
  ASSERT_EQ(line.size(), kLineLimit + 1);
  ASSERT_TRUE(helper().sendLine(line));
  expectFailure(helper().readResponse(), "invalid_arguments", "invalid");
}

TEST_F(LineFramingE2E, AnswersTheLineAfterAnOverlongLine) {
  ASSERT_TRUE(helper().sendLine(std::string(3 * kLineLimit, 'x')));
  expectFailure(helper().readResponse(), "invalid_arguments", "invalid");
  const json response = helper().request("status");
  EXPECT_EQ(response.value("id", ""), helper().lastRequestId());
  EXPECT_EQ(response.value("ok", false), true) << response.dump();
}

TEST_F(LineFramingE2E, AnswersALastLineWithoutLineFeed) {
  ASSERT_TRUE(
      helper().sendRaw(harness::Helper::envelope("unterminated", "status", json::object())));
  helper().closeInput();
  const json response = helper().readResponse();
  EXPECT_EQ(response.value("id", ""), "unterminated");
  EXPECT_EQ(response.value("ok", false), true) << response.dump();
}

TEST_F(LineFramingE2E, AnswersRequestsWrittenBackToBackInOrder) {
  const std::string both = harness::Helper::envelope("first", "status", json::object()) + "\n" +
                           harness::Helper::envelope("second", kUnknownOperation, json::object()) +
                           "\n";
  ASSERT_TRUE(helper().sendRaw(both));
  const json first = helper().readResponse();
  const json second = helper().readResponse();
  EXPECT_EQ(first.value("id", ""), "first");
  EXPECT_EQ(first.value("ok", false), true) << first.dump();
  expectFailure(second, "topology_changed", "second");
}

TEST_F(LineFramingE2E, AnswersAnEmptyLineAsNativeOperationFailed) {
  ASSERT_TRUE(helper().sendLine(""));
  expectFailure(helper().readResponse(), "native_operation_failed", "invalid");
}

TEST_F(LineFramingE2E, AnswersANonJsonLineAsNativeOperationFailed) {
  ASSERT_TRUE(helper().sendLine("this is not json"));
  expectFailure(helper().readResponse(), "native_operation_failed", "invalid");
}

TEST_F(LineFramingE2E, RefusesAnEnvelopeWithAnotherProtocol) {
  const json request{{"protocol", "kex.computer.helper/v0"},
                     {"id", "old-protocol"},
                     {"operation", "status"},
                     {"args", json::object()}};
  ASSERT_TRUE(helper().sendLine(request.dump()));
  expectFailure(helper().readResponse(), "invalid_arguments", "invalid");
}

TEST_F(LineFramingE2E, RefusesAnEnvelopeWithAnExtraKey) {
  json request = json::parse(harness::Helper::envelope("extra", "status", json::object()));
  request["extra"] = true;
  ASSERT_TRUE(helper().sendLine(request.dump()));
  expectFailure(helper().readResponse(), "invalid_arguments", "invalid");
}

TEST_F(LineFramingE2E, WritesNothingToStandardErrorWhateverItIsSent) {
  const std::vector<std::string> lines{
      "", "{", "[1,2]", std::string(kLineLimit + 10, '{'),
      harness::Helper::envelope("unknown", kUnknownOperation, json::object())};
  for (const std::string& line : lines) {
    ASSERT_TRUE(helper().sendLine(line));
    const json response = helper().readResponse();
    EXPECT_EQ(response.value("ok", true), false) << response.dump();
  }
  EXPECT_EQ(finishHelper(), std::optional<int>(0));
  EXPECT_EQ(readFile(stderrPath_), "");
}

}  // namespace
}  // namespace kex::e2e
