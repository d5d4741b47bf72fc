#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <png.h>

#include "main/observe/text.h"
#include "tests/observe/observe_fixture.h"

namespace kex::testing {
namespace {

// The pixels of a capture's base64 PNG, decoded by libpng; empty when it is not one.
std::vector<std::uint8_t> decodedPixels(const Json& result, std::int64_t& width,
                                        std::int64_t& height) {
  const auto& text = result["image"].get_ref<const std::string&>();
  std::vector<std::uint8_t> file(text.size() / 4 * 3);
  const int decoded =
      EVP_DecodeBlock(file.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (decoded < 0) return {};
  png_image reader{};
  reader.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&reader, file.data(), file.size())) return {};
  reader.format = PNG_FORMAT_RGB;
  std::vector<std::uint8_t> rgb(PNG_IMAGE_SIZE(reader));
  if (!png_image_finish_read(&reader, nullptr, rgb.data(), 0, nullptr)) return {};
  width = reader.width;
  height = reader.height;
  return rgb;
}

class CaptureTest : public ObserveTest {
 protected:
  std::string windowOfSize(double width, double height) {
    desktop.window(appWindow).info.frame = {0, 0, width, height};
    return listedTarget();
  }
  std::string displayTarget() { return ok("computer.displays")["displays"][0]["targetId"]; }
  Json capture(const std::string& target) { return ok("computer.capture", {{"targetId", target}}); }
};

TEST_F(CaptureTest, ReturnsTheFourteenFieldsOfAWindowCapture) {
  const auto target = listedTarget();
  const auto result = ok("computer.capture", {{"targetId", target}});
  std::vector<std::string> keys;
  for (const auto& item : result.items()) keys.push_back(item.key());
  EXPECT_EQ(keys,
            (std::vector<std::string>{"captureId", "capturedAt", "encoding", "format", "height",
                                      "image", "pixelScale", "rotation", "sessionId", "sourceRect",
                                      "targetId", "topologyRevision", "transform", "width"}));
  EXPECT_EQ(result["width"], 800);
  EXPECT_EQ(result["height"], 600);
  EXPECT_EQ(result["capturedAt"], "2027-01-15T08:00:00Z");
  EXPECT_EQ(result["targetId"], target);
  EXPECT_EQ(result["rotation"], 0);
  EXPECT_EQ(result["transform"],
            (Json{{"scaleX", 1.0}, {"scaleY", 1.0}, {"offsetX", 100.0}, {"offsetY", 50.0}}));
  EXPECT_EQ(result["image"].get<std::string>().rfind("iVBORw0K", 0), 0u);
  EXPECT_EQ(computer.observation().registries().captures.count(result["captureId"]), 1u);
}

TEST_F(CaptureTest, BoundsTheWidthAndDerivesTheHeightByTruncation) {
  auto target = windowOfSize(3000, 1000);
  EXPECT_EQ(ok("computer.capture", {{"targetId", target}})["width"], 1024);
  EXPECT_EQ(ok("computer.capture", {{"targetId", target}, {"maxWidth", 10}})["width"], 64);
  const auto wide = ok("computer.capture", {{"targetId", target}, {"maxWidth", 100000}});
  EXPECT_EQ(wide["width"], 2048);
  EXPECT_EQ(wide["height"], 682);
  EXPECT_EQ(ok("computer.capture", {{"targetId", target}, {"maxWidth", 100.5}})["width"], 1024);
  EXPECT_EQ(ok("computer.capture", {{"targetId", target}, {"maxWidth", "300"}})["width"], 1024);
  EXPECT_EQ(ok("computer.capture", {{"targetId", target}, {"maxWidth", 300.0}})["width"], 300);
}

TEST_F(CaptureTest, ANarrowWindowOnADenseDisplayKeepsItsNativeWidth) {
  desktop.setPointPixelScale(2);
  const auto target = windowOfSize(20, 30);
  const auto result = ok("computer.capture", {{"targetId", target}, {"maxWidth", 2048}});
  EXPECT_EQ(result["width"], 40);
  EXPECT_EQ(result["height"], 60);
  EXPECT_EQ(result["pixelScale"], 2.0);
}

TEST_F(CaptureTest, RefusesImagesTallerThan4096Pixels) {
  EXPECT_EQ(failure("computer.capture", {{"targetId", windowOfSize(100, 5000)}}),
            "capture_too_large");
  const auto result = ok("computer.capture", {{"targetId", windowOfSize(100, 4096)}});
  EXPECT_EQ(result["width"], 100);
  EXPECT_EQ(result["height"], 4096);
}

TEST_F(CaptureTest, RefusesABlackWindowEvenWithContentBetweenSamplePoints) {
  auto& window = desktop.window(appWindow);
  std::fill(window.color, window.color + 3, 0);
  const auto target = listedTarget();
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "capture_protected");
  // Samples fall every 50 pixels of the 800-pixel image; this spot lies between them.
  desktop.window(appWindow).spot = platform::Rect{10, 10, 30, 30};
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "capture_protected");
  desktop.window(appWindow).spot = platform::Rect{45, 0, 10, 10};
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
  EXPECT_TRUE(computer.observation().registries().captures.size() == 1);
}

TEST_F(CaptureTest, RefusesAWindowItsApplicationHasNotPaintedAsProtectedUntilItHas) {
  const auto target = listedTarget();
  desktop.window(appWindow).unpainted = true;
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "capture_protected");
  EXPECT_TRUE(computer.observation().registries().captures.empty());
  desktop.window(appWindow).unpainted = false;
  EXPECT_TRUE(capture(target).contains("image"));
}

TEST_F(CaptureTest, ReportsAWindowThatChangedWhileUnpaintedAsStaleRatherThanProtected) {
  const auto target = listedTarget();
  desktop.window(appWindow).unpainted = true;
  desktop.window(appWindow).info.title = "Renamed";
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "target_stale");
}

TEST_F(CaptureTest, LooksForContentOnlyWhereTheApplicationPaints) {
  auto& window = desktop.window(appWindow);
  std::fill(window.color, window.color + 3, 0);
  window.painted = platform::Rect{4, 24, 792, 572};  // a title bar and borders around it
  const auto target = listedTarget();
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "capture_protected");
  // Samples of the painted area start at its corner, so a spot there counts.
  desktop.window(appWindow).spot = platform::Rect{4, 24, 2, 2};
  EXPECT_EQ(failure("computer.capture", {{"targetId", target}}), "succeeded");
}

TEST_F(CaptureTest, KeepsSixtyFiveCapturesAndClearsThemBeforeTheSixtySixth) {
  const auto target = listedTarget();
  std::vector<std::string> ids;
  for (int i = 0; i < 65; ++i)
    ids.push_back(ok("computer.capture", {{"targetId", target}})["captureId"]);
  auto& captures = computer.observation().registries().captures;
  EXPECT_EQ(captures.size(), 65u);
  for (const auto& id : ids) EXPECT_EQ(captures.count(id), 1u);
  const std::string last = ok("computer.capture", {{"targetId", target}})["captureId"];
  EXPECT_EQ(captures.size(), 1u);
  EXPECT_EQ(captures.count(last), 1u);
}

TEST_F(CaptureTest, AWindowCaptureIsAPngOfTheStatedSizeWithTheWindowsPixels) {
  desktop.window(appWindow).spot = platform::Rect{10, 20, 5, 5};
  const auto result = ok("computer.capture", {{"targetId", listedTarget()}, {"maxWidth", 400}});
  std::int64_t width = 0;
  std::int64_t height = 0;
  const auto rgb = decodedPixels(result, width, height);
  ASSERT_FALSE(rgb.empty());
  EXPECT_EQ(width, result["width"].get<std::int64_t>());
  EXPECT_EQ(height, result["height"].get<std::int64_t>());
  EXPECT_EQ(width, 400);
  const auto at = [&](std::int64_t x, std::int64_t y) {
    const auto* pixel = &rgb[static_cast<std::size_t>((y * width + x) * 3)];
    return std::vector<int>{pixel[0], pixel[1], pixel[2]};
  };
  EXPECT_EQ(at(0, 0), (std::vector<int>{200, 100, 50}));
  EXPECT_EQ(at(12, 22), (std::vector<int>{255, 255, 255}));
}

TEST_F(CaptureTest, ADisplayCaptureReportsScaleAndIsNeverRegistered) {
  desktop.resizeDisplay(1, 1920, 1080, 3840, 2160);
  const auto display = ok("computer.displays")["displays"][0]["targetId"];
  const auto result = ok("computer.capture", {{"targetId", display}});
  EXPECT_EQ(result["width"], 1024);
  EXPECT_EQ(result["height"], 576);
  EXPECT_EQ(result["pixelScale"], 2.0);
  EXPECT_EQ(result["transform"]["scaleX"], 1.875);
  EXPECT_EQ(result["transform"]["scaleY"], 1.875);
  EXPECT_TRUE(computer.observation().registries().captures.empty());
}

TEST_F(CaptureTest, RefusesADisplayPngOverSixteenMebibytes) {
  // Noise does not compress: 2048 by 2048 pixels encode to about 12 MiB, 2048 by 4096 to 24.
  desktop.setDisplayPicture(Picture::noise);
  desktop.resizeDisplay(1, 2048, 2048, 2048, 2048);
  auto display = ok("computer.displays")["displays"][0]["targetId"];
  EXPECT_EQ(failure("computer.capture", {{"targetId", display}, {"maxWidth", 2048}}), "succeeded");
  desktop.resizeDisplay(1, 2048, 4096, 2048, 4096);
  display = ok("computer.displays")["displays"][0]["targetId"];
  EXPECT_EQ(failure("computer.capture", {{"targetId", display}, {"maxWidth", 2048}}),
            "capture_too_large");
}

TEST_F(CaptureTest, ATargetIdThatIsMissingOrUnknownIsStale) {
  EXPECT_EQ(failure("computer.capture"), "target_stale");
  EXPECT_EQ(failure("computer.capture", {{"targetId", 12}}), "target_stale");
  EXPECT_EQ(failure("computer.capture", {{"targetId", "NOT-LISTED"}}), "target_stale");
}

TEST_F(CaptureTest, WithoutCaptureSupportFailsAfterVerification) {
  desktop.setSupport(false, false, true);
  EXPECT_EQ(failure("computer.capture", {{"targetId", "NOT-LISTED"}}), "target_stale");
  EXPECT_EQ(failure("computer.capture", {{"targetId", listedTarget()}}), "backend_unsupported");
  EXPECT_EQ(failure("computer.capture", {{"targetId", displayTarget()}}), "backend_unsupported");
}

TEST_F(CaptureTest, EachKindOfCaptureAsksOnlyForWhatItReadsWith) {
  desktop.setSupport(true, false, true);
  EXPECT_EQ(failure("computer.capture", {{"targetId", listedTarget()}}), "backend_unsupported");
  EXPECT_TRUE(capture(displayTarget()).contains("image"));
  desktop.setSupport(false, true, true);
  EXPECT_TRUE(capture(listedTarget()).contains("image"));
  EXPECT_EQ(failure("computer.capture", {{"targetId", displayTarget()}}), "backend_unsupported");
}

TEST_F(CaptureTest, CapturesWithoutWhatControlNeeds) {
  desktop.setSupport(true, true, false);
  EXPECT_TRUE(capture(listedTarget()).contains("image"));
  EXPECT_TRUE(capture(displayTarget()).contains("image"));
}

TEST_F(CaptureTest, AScreenshotErrorIsAPlatformErrorAndRegistersNothing) {
  const auto target = listedTarget();
  desktop.setFailing(Op::captureWindow);
  Json args = {{"sessionId", computer.sessionId()},
               {"topologyRevision", topology(desktop.displays())},
               {"targetId", target}};
  EXPECT_THROW((void)computer.invoke("computer.capture", args), platform::PlatformError);
  EXPECT_TRUE(computer.observation().registries().captures.empty());
}

TEST(CaptureText, WritesDatesToWholeSeconds) {
  EXPECT_EQ(iso8601(platform::Timestamp(std::chrono::milliseconds(86'399'999))),
            "1970-01-01T23:59:59Z");
}

}  // namespace
}  // namespace kex::testing
