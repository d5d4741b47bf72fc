// The freshness check: every operation but status names the session and topology it was
// planned against, and is refused when they are not the current ones.
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using FreshnessE2E = E2ETest;

constexpr const char* kForeignSessionId = "00000000-0000-0000-0000-000000000000";

TEST_F(FreshnessE2E, RefusesWrongSessionIdAsTopologyChanged) {
  const json result = statusResult();
  const json response = helper().request(
      kUnknownOperation,
      {{"sessionId", kForeignSessionId}, {"topologyRevision", result["topologyRevision"]}});
  expectFailure(response, "topology_changed", helper().lastRequestId());
}

TEST_F(FreshnessE2E, RefusesWrongTopologyRevisionAsTopologyChanged) {
  const json result = statusResult();
  const json response = helper().request(
      kUnknownOperation,
      {{"sessionId", result["sessionId"]}, {"topologyRevision", std::string(64, '0')}});
  expectFailure(response, "topology_changed", helper().lastRequestId());
}

TEST_F(FreshnessE2E, RefusesMissingSessionIdAndRevisionAsTopologyChanged) {
  const json response = helper().request(kUnknownOperation, json::object());
  expectFailure(response, "topology_changed", helper().lastRequestId());
}

TEST_F(FreshnessE2E, PassesFreshRequestToDispatcherWhichRefusesUnknownOperation) {
  const json response = requestFresh(kUnknownOperation);
  expectFailure(response, "capability_unavailable", helper().lastRequestId());
}

TEST_F(FreshnessE2E, FailureResponseHoldsExactlyIdOkErrorAndDispatched) {
  const json response = helper().request(kUnknownOperation, json::object());
  ASSERT_TRUE(response.is_object());
  std::vector<std::string> keys;
  for (const auto& [key, value] : response.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"dispatched", "error", "id", "ok"}));
}

}  // namespace
}  // namespace kex::e2e
