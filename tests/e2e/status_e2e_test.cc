// status: what a host learns before it may ask for anything else.
#include <regex>

#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using StatusE2E = E2ETest;

bool keysAreSorted(const nlohmann::ordered_json& value) {
  if (value.is_array()) {
    for (const auto& element : value) {
      if (!keysAreSorted(element)) return false;
    }
    return true;
  }
  if (!value.is_object()) return true;
  std::string previous;
  bool first = true;
  for (const auto& [key, member] : value.items()) {
    if (!first && !(previous < key)) return false;
    first = false;
    previous = key;
    if (!keysAreSorted(member)) return false;
  }
  return true;
}

TEST_F(StatusE2E, ReportsLinuxBackendAndSessionId) {
  const json response = helper().request("status");
  EXPECT_EQ(response.value("id", ""), helper().lastRequestId());
  EXPECT_EQ(response.value("ok", false), true) << response.dump();
  const json& result = response.at("result");
  EXPECT_EQ(result.value("backend", ""), "linux-x11-atspi-xtest");
  const std::string sessionId = result.value("sessionId", "");
  EXPECT_TRUE(std::regex_match(
      sessionId, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << "sessionId: " << sessionId << " in " << response.dump();
}

TEST_F(StatusE2E, ReportsActiveSessionAndHexTopologyRevision) {
  const json result = statusResult();
  EXPECT_EQ(result.value("sessionState", ""), "active");
  const std::string revision = result.value("topologyRevision", "");
  EXPECT_TRUE(std::regex_match(revision, std::regex("[0-9a-fA-F]{64}"))) << revision;
}

TEST_F(StatusE2E, ListsThreeLimitationsAndTheOperations) {
  const json result = statusResult();
  ASSERT_TRUE(result.contains("limitations") && result["limitations"].is_array());
  EXPECT_EQ(result["limitations"].size(), 3u);
  for (const auto& limitation : result["limitations"]) {
    EXPECT_TRUE(limitation.is_string() && !limitation.get<std::string>().empty());
  }
  ASSERT_TRUE(result.contains("operations") && result["operations"].is_array());
  for (const auto& operation : result["operations"]) EXPECT_TRUE(operation.is_string());
}

TEST_F(StatusE2E, GrantsCapturePermissionOnItsOwnDisplay) {
  const json result = statusResult();
  ASSERT_TRUE(result.contains("permissions") && result["permissions"].is_object());
  const json& permissions = result["permissions"];
  for (const char* name : {"accessibility", "capture", "input"}) {
    EXPECT_TRUE(permissions.contains(name) && permissions[name].is_boolean()) << name;
  }
  EXPECT_EQ(permissions.value("capture", false), true);
  EXPECT_TRUE(result.contains("controlReady") && result["controlReady"].is_boolean());
}

TEST_F(StatusE2E, AnswersWithKeysSortedAtEveryDepth) {
  ASSERT_TRUE(helper().sendLine(harness::Helper::envelope("sorted", "status", json::object())));
  const auto line = helper().readResponseLine();
  ASSERT_TRUE(line.has_value());
  const auto parsed = nlohmann::ordered_json::parse(*line, nullptr, false);
  ASSERT_FALSE(parsed.is_discarded()) << *line;
  EXPECT_TRUE(keysAreSorted(parsed)) << *line;
}

TEST_F(StatusE2E, KeepsItsSessionIdAndRevisionAcrossRequests) {
  const json first = statusResult();
  const json second = statusResult();
  EXPECT_EQ(first.value("sessionId", "a"), second.value("sessionId", "b"));
  EXPECT_EQ(first.value("topologyRevision", "a"), second.value("topologyRevision", "b"));
}

}  // namespace
}  // namespace kex::e2e
