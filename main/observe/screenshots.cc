#include "main/observe/screenshots.h"

#include <algorithm>
#include <cmath>

#include "imaging/base64.h"
#include "main/common/failure.h"
#include "main/common/identifiers.h"
#include "main/observe/text.h"
#include "main/session/topology.h"

namespace kex {
namespace {

constexpr std::int64_t kDefaultWidth = 1024;
constexpr std::int64_t kMinWidth = 64;
constexpr std::int64_t kMaxWidth = 2048;
constexpr std::int64_t kMaxHeight = 4096;
constexpr std::size_t kMaxDisplayPng = 16 * 1024 * 1024;

// "maxWidth" raised to 64 and lowered to 2048; absent, non-numeric and fractional values count
// as absent.
std::int64_t widthBound(const Json& args) {
  auto found = args.find("maxWidth");
  if (found == args.end() || !found->is_number()) return kDefaultWidth;
  const double requested = found->get<double>();
  if (!std::isfinite(requested) || std::floor(requested) != requested) return kDefaultWidth;
  return static_cast<std::int64_t>(
      std::clamp(requested, static_cast<double>(kMinWidth), static_cast<double>(kMaxWidth)));
}

// The height that keeps the frame's proportions at width w, at least 1.
std::int64_t heightFor(std::int64_t width, const platform::Rect& frame) {
  const double height = static_cast<double>(width) * frame.height / frame.width;
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::trunc(height)));
}

// The part of the image the application paints: decorations that a window manager draws
// around it would otherwise make every window look painted.
struct Area {
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

Area paintedArea(const platform::Image& image) {
  const Area whole{0, 0, image.width, image.height};
  if (!image.content) return whole;
  const auto& c = *image.content;
  const auto x0 = std::clamp<std::int64_t>(static_cast<std::int64_t>(c.x), 0, image.width);
  const auto y0 = std::clamp<std::int64_t>(static_cast<std::int64_t>(c.y), 0, image.height);
  const auto x1 =
      std::clamp<std::int64_t>(static_cast<std::int64_t>(c.x + c.width), x0, image.width);
  const auto y1 =
      std::clamp<std::int64_t>(static_cast<std::int64_t>(c.y + c.height), y0, image.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

// True when some sampled pixel of the painted area has a component above 1% of full scale.
// Samples a grid of at most 31 by 31 points, every one of them even after content was found.
bool hasContent(const platform::Image& image) {
  const Area area = paintedArea(image);
  const std::int64_t rowStep = std::max<std::int64_t>(1, area.height / 16);
  const std::int64_t columnStep = std::max<std::int64_t>(1, area.width / 16);
  bool content = false;
  for (std::int64_t y = area.y; y < area.y + area.height; y += rowStep) {
    for (std::int64_t x = area.x; x < area.x + area.width; x += columnStep) {
      const auto* pixel = &image.rgb[static_cast<std::size_t>((y * image.width + x) * 3)];
      const auto largest = std::max({pixel[0], pixel[1], pixel[2]});
      if (largest / 255.0 > 0.01) content = true;
    }
  }
  return content;
}

bool hasPixels(const platform::Image& image, std::int64_t width, std::int64_t height) {
  return image.width == width && image.height == height &&
         image.rgb.size() == static_cast<std::size_t>(width * height * 3);
}

Json transform(const platform::Rect& frame, std::int64_t width, std::int64_t height) {
  return {{"scaleX", frame.width / static_cast<double>(width)},
          {"scaleY", frame.height / static_cast<double>(height)},
          {"offsetX", frame.x},
          {"offsetY", frame.y}};
}

}  // namespace

Screenshots::Screenshots(platform::Desktop& desktop, SessionGate& session, Observation& observation)
    : desktop_(desktop), session_(session), observation_(observation) {}

Json Screenshots::capture(const Json& args, const std::string& sessionId) {
  const Json targetId = args.contains("targetId") ? args["targetId"] : Json();
  if (observation_.isDisplayTarget(targetId)) {
    const auto& id = targetId.get_ref<const std::string&>();
    return captureDisplay(id, observation_.registries().displayTargets.at(id), args, sessionId);
  }
  const Target target = observation_.windowTarget(targetId);
  return captureWindow(targetId.get<std::string>(), target, args, sessionId);
}

Json Screenshots::captureDisplay(const std::string& targetId, const DisplayTarget& target,
                                 const Json& args, const std::string& sessionId) {
  if (observation_.options().fixturePid) throw Failure(codes::protectedTarget);
  observation_.verifyDisplay(target);
  if (!desktop_.system().supportsCapture(platform::CaptureKind::display)) {
    throw Failure(codes::backendUnsupported);
  }
  const auto& frame = target.display.frame;
  const auto display = desktop_.displays().activeDisplay(target.display.displayId);
  if (!display) throw Failure(codes::targetStale);
  const std::int64_t width = std::min(widthBound(args), display->pixelWidth);
  const std::int64_t height = heightFor(width, frame);
  if (height > kMaxHeight) throw Failure(codes::captureTooLarge);

  const auto image =
      desktop_.capture().captureDisplay(target.display, width, height, platform::CursorMode::drawn);
  observation_.verifyDisplay(target);
  if (!hasPixels(image, width, height)) throw platform::PlatformError("display image size");
  const auto png = encode(image);
  if (!png || png->size() > kMaxDisplayPng) throw Failure(codes::captureTooLarge);

  return {{"captureId", newIdentifier()},
          {"capturedAt", iso8601(desktop_.clock().now())},
          {"sessionId", sessionId},
          {"targetId", targetId},
          {"topologyRevision", target.revision},
          {"sourceRect", rect(frame)},
          {"width", width},
          {"height", height},
          {"pixelScale", static_cast<double>(display->pixelWidth) / frame.width},
          {"rotation", display->rotation},
          {"transform", transform(frame, width, height)},
          {"format", "png"},
          {"encoding", "base64"},
          {"image", imaging::base64(*png)}};
}

Json Screenshots::captureWindow(const std::string& targetId, const Target& target, const Json& args,
                                const std::string& sessionId) {
  const auto window = observation_.verify(target);
  if (!desktop_.system().supportsCapture(platform::CaptureKind::window)) {
    throw Failure(codes::backendUnsupported);
  }
  const auto& frame = window.frame;
  const double scale = desktop_.capture().pointPixelScale(window);
  const auto native = static_cast<std::int64_t>(std::trunc(frame.width * scale));
  const std::int64_t width = std::min(widthBound(args), native);
  const std::int64_t height = heightFor(width, frame);
  if (height > kMaxHeight) throw Failure(codes::captureTooLarge);

  const auto image = desktop_.capture().captureWindow(window, width, height);
  session_.requireActive();
  (void)observation_.verify(target);
  if (image.withheld) throw Failure(codes::captureProtected);
  if (!hasPixels(image, width, height)) throw platform::PlatformError("window image size");
  if (!hasContent(image)) throw Failure(codes::captureProtected);
  const auto png = encode(image);
  if (!png) throw Failure(codes::captureProtected);

  auto& captures = observation_.registries().captures;
  if (captures.size() > kMaxCaptures) captures.clear();
  auto captureId = newIdentifier();
  captures.emplace(captureId, Capture{target, width, height, desktop_.clock().now()});

  return {{"captureId", captureId},
          {"capturedAt", iso8601(desktop_.clock().now())},
          {"sessionId", sessionId},
          {"targetId", targetId},
          {"topologyRevision", topology(desktop_.displays())},
          {"sourceRect", rect(frame)},
          {"width", width},
          {"height", height},
          {"pixelScale", static_cast<double>(static_cast<float>(scale))},
          {"rotation", 0},
          {"transform", transform(frame, width, height)},
          {"format", "png"},
          {"encoding", "base64"},
          {"image", imaging::base64(*png)}};
}

std::optional<std::vector<std::uint8_t>> Screenshots::encode(const platform::Image& image) {
  return encoder_.encode(imaging::RgbView::of(image.rgb, image.width, image.height));
}

}  // namespace kex
