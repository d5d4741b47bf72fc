#include "main/session/topology.h"

#include <gtest/gtest.h>

#include "tests/desktop/memory_desktop.h"

namespace kex {
namespace {

using platform::DisplayInfo;

TEST(Topology, WritesNumbersInShortestFormWithAFraction) {
  EXPECT_EQ(formatTopologyNumber(0), "0.0");
  EXPECT_EQ(formatTopologyNumber(-600), "-600.0");
  EXPECT_EQ(formatTopologyNumber(800), "800.0");
  EXPECT_EQ(formatTopologyNumber(90), "90.0");
  EXPECT_EQ(formatTopologyNumber(0.5), "0.5");
  EXPECT_EQ(formatTopologyNumber(0.1), "0.1");
  EXPECT_EQ(formatTopologyNumber(1439.75), "1439.75");
}

TEST(Topology, WritesOneEntryADisplayInAscendingIdentifierOrder) {
  std::vector<DisplayInfo> displays = {
      {3, {800, -600, 1024, 768}, 2048, 1536, 90},
      {1, {0, 0, 800, 600}, 800, 600, 0},
  };
  EXPECT_EQ(topologyText(displays),
            "1:(0.0, 0.0, 800.0, 600.0):800:600:0.0|3:(800.0, -600.0, 1024.0, 768.0):2048:1536:"
            "90.0");
}

TEST(Topology, DigestIsLowerCaseHexOfSha256) {
  EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Topology, NoActiveDisplayIsTheDigestOfTheEmptyText) {
  testing::MemoryDesktop desktop;
  desktop.clearDisplays();
  EXPECT_EQ(topology(desktop.displays()), digest(""));
}

TEST(Topology, AnUnreadableDisplayListIsUnavailable) {
  testing::MemoryDesktop desktop;
  desktop.setFailing(testing::Op::activeDisplays);
  EXPECT_EQ(topology(desktop.displays()), "unavailable");
}

TEST(Topology, ChangesWithEveryChangeOfArrangementAndReturnsWithTheSameConfiguration) {
  testing::MemoryDesktop desktop;
  desktop.addDisplay({7, {1920, 0, 1280, 1024}, 1280, 1024, 0});
  const auto original = topology(desktop.displays());
  EXPECT_EQ(original.size(), 64u);

  desktop.rotateDisplay(7, 90);
  const auto rotated = topology(desktop.displays());
  EXPECT_NE(rotated, original);

  desktop.rotateDisplay(7, 0);
  desktop.moveDisplay(7, 1920, 56);
  const auto moved = topology(desktop.displays());
  EXPECT_NE(moved, original);
  EXPECT_NE(moved, rotated);

  desktop.moveDisplay(7, 1920, 0);
  desktop.resizeDisplay(7, 1280, 1024, 2560, 2048);
  EXPECT_NE(topology(desktop.displays()), original);

  desktop.resizeDisplay(7, 1280, 1024, 1280, 1024);
  EXPECT_EQ(topology(desktop.displays()), original);

  desktop.removeDisplay(7);
  EXPECT_NE(topology(desktop.displays()), original);
}

TEST(Topology, DoesNotDependOnTheOrderThePlatformListsDisplays) {
  testing::MemoryDesktop first;
  first.clearDisplays();
  first.addDisplay({3, {0, 0, 10, 10}, 10, 10, 0});
  first.addDisplay({1, {10, 0, 10, 10}, 10, 10, 0});
  testing::MemoryDesktop second;
  second.clearDisplays();
  second.addDisplay({1, {10, 0, 10, 10}, 10, 10, 0});
  second.addDisplay({3, {0, 0, 10, 10}, 10, 10, 0});
  EXPECT_EQ(topology(first.displays()), topology(second.displays()));
}

}  // namespace
}  // namespace kex
