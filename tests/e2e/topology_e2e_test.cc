// The topology revision follows the screen: a plan made for another screen size is refused.
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using TopologyE2E = E2ETest;

// Smaller than the desktop's 1280x800: Xvfb cannot grow past the size it started with.
constexpr int kSmallWidth = 1024;
constexpr int kSmallHeight = 768;

json freshnessArgs(const json& status) {
  return {{"sessionId", status.value("sessionId", "")},
          {"topologyRevision", status.value("topologyRevision", "")}};
}

TEST_F(TopologyE2E, RefusesOldRevisionAfterScreenResize) {
  ScreenSizeRestorer restorer(desktop());
  const json before = statusResult();
  ASSERT_TRUE(desktop().resizeScreen(kSmallWidth, kSmallHeight));

  const json stale = helper().request(kUnknownOperation, freshnessArgs(before));
  expectFailure(stale, "topology_changed", helper().lastRequestId());
}

TEST_F(TopologyE2E, AcceptsNewRevisionFromStatusAfterScreenResize) {
  ScreenSizeRestorer restorer(desktop());
  const json before = statusResult();
  ASSERT_TRUE(desktop().resizeScreen(kSmallWidth, kSmallHeight));

  const json after = statusResult();
  EXPECT_NE(after.value("topologyRevision", ""), before.value("topologyRevision", ""));
  EXPECT_EQ(after.value("sessionId", ""), before.value("sessionId", ""));
  const json response = helper().request(kUnknownOperation, freshnessArgs(after));
  expectFailure(response, "capability_unavailable", helper().lastRequestId());
}

TEST_F(TopologyE2E, RestoringTheScreenSizeRestoresTheRevision) {
  ScreenSizeRestorer restorer(desktop());
  const auto original = desktop().screenSize();
  const json before = statusResult();
  ASSERT_TRUE(desktop().resizeScreen(kSmallWidth, kSmallHeight));
  const json resized = statusResult();
  ASSERT_TRUE(desktop().resizeScreen(original.width, original.height));

  const json restored = statusResult();
  EXPECT_NE(resized.value("topologyRevision", ""), before.value("topologyRevision", ""));
  EXPECT_EQ(restored.value("topologyRevision", ""), before.value("topologyRevision", ""));
  const json response = helper().request(kUnknownOperation, freshnessArgs(before));
  expectFailure(response, "capability_unavailable", helper().lastRequestId());
}

}  // namespace
}  // namespace kex::e2e
