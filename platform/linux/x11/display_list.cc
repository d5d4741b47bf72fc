#include "platform/linux/x11/display_list.h"

#include <unordered_map>
#include <utility>

namespace kex::platform::x11 {
namespace {

using ResourcesReply = Reply<xcb_randr_get_screen_resources_current_reply_t>;
using CrtcReply = Reply<xcb_randr_get_crtc_info_reply_t>;
using MonitorsReply = Reply<xcb_randr_get_monitors_reply_t>;

// A configuration that changes between two requests of one reading is read again; a server
// that keeps changing it this many times in a row gets no answer.
constexpr int kReadAttempts = 3;

// One reading of the RandR configuration. stale: it changed while being read.
struct Reading {
  std::optional<std::vector<DisplayInfo>> displays;
  bool stale = false;
};

double rotationDegrees(std::uint16_t rotation) {
  if ((rotation & XCB_RANDR_ROTATION_ROTATE_90) != 0) {
    return 90;
  }
  if ((rotation & XCB_RANDR_ROTATION_ROTATE_180) != 0) {
    return 180;
  }
  if ((rotation & XCB_RANDR_ROTATION_ROTATE_270) != 0) {
    return 270;
  }
  return 0;
}

DisplayInfo displayAt(std::uint32_t id, std::int16_t x, std::int16_t y, std::uint16_t width,
                      std::uint16_t height, double rotation) {
  return DisplayInfo{id, Rect{double(x), double(y), double(width), double(height)}, width, height,
                     rotation};
}

DisplayInfo wholeScreen(const Connection& connection) {
  return displayAt(connection.root(), 0, 0, connection.screenWidth(), connection.screenHeight(), 0);
}

using CrtcList = std::vector<xcb_randr_crtc_t>;

CrtcList crtcsOf(const xcb_randr_get_screen_resources_current_reply_t& resources) {
  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(&resources);
  return CrtcList(crtcs, crtcs + xcb_randr_get_screen_resources_current_crtcs_length(&resources));
}

std::vector<xcb_randr_get_crtc_info_cookie_t> askCrtcs(xcb_connection_t* c, const CrtcList& crtcs,
                                                       xcb_timestamp_t configTimestamp) {
  std::vector<xcb_randr_get_crtc_info_cookie_t> cookies;
  cookies.reserve(crtcs.size());
  for (const xcb_randr_crtc_t crtc : crtcs) {
    cookies.push_back(xcb_randr_get_crtc_info_unchecked(c, crtc, configTimestamp));
  }
  return cookies;
}

// Nothing when any request failed. Every reply is collected even after a failure, so none is
// left queued in xcb.
std::optional<std::vector<CrtcReply>> collectCrtcs(
    const Connection& connection, const std::vector<xcb_randr_get_crtc_info_cookie_t>& cookies) {
  std::vector<CrtcReply> infos;
  infos.reserve(cookies.size());
  bool complete = true;
  for (const auto& cookie : cookies) {
    infos.push_back(
        connection.reply<xcb_randr_get_crtc_info_reply_t>(cookie, xcb_randr_get_crtc_info_reply));
    complete = complete && infos.back() != nullptr;
  }
  if (!complete) {
    return std::nullopt;
  }
  return infos;
}

bool anyStale(const std::vector<CrtcReply>& crtcs) {
  for (const auto& crtc : crtcs) {
    if (crtc->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
      return true;
    }
  }
  return false;
}

std::unordered_map<xcb_randr_output_t, double> rotationByOutput(
    const std::vector<CrtcReply>& crtcs) {
  std::unordered_map<xcb_randr_output_t, double> rotations;
  for (const auto& crtc : crtcs) {
    const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(crtc.get());
    const int count = xcb_randr_get_crtc_info_outputs_length(crtc.get());
    for (int i = 0; i < count; ++i) {
      rotations[outputs[i]] = rotationDegrees(crtc->rotation);
    }
  }
  return rotations;
}

std::vector<DisplayInfo> fromMonitors(const xcb_randr_get_monitors_reply_t& monitors,
                                      const std::vector<CrtcReply>& crtcs) {
  const auto rotations = rotationByOutput(crtcs);
  std::vector<DisplayInfo> displays;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(&monitors); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& monitor = *it.data;
    // Output XIDs live as long as the server; a monitor without outputs only has its name.
    std::uint32_t id = monitor.name;
    double rotation = 0;
    if (xcb_randr_monitor_info_outputs_length(&monitor) > 0) {
      id = xcb_randr_monitor_info_outputs(&monitor)[0];
      const auto found = rotations.find(id);
      rotation = found == rotations.end() ? 0 : found->second;
    }
    displays.push_back(
        displayAt(id, monitor.x, monitor.y, monitor.width, monitor.height, rotation));
  }
  return displays;
}

std::vector<DisplayInfo> fromCrtcs(const std::vector<CrtcReply>& crtcs) {
  std::vector<DisplayInfo> displays;
  for (const auto& crtc : crtcs) {
    const int outputs = xcb_randr_get_crtc_info_outputs_length(crtc.get());
    if (crtc->mode == XCB_NONE || outputs == 0 || crtc->width == 0 || crtc->height == 0) {
      continue;
    }
    displays.push_back(displayAt(xcb_randr_get_crtc_info_outputs(crtc.get())[0], crtc->x, crtc->y,
                                 crtc->width, crtc->height, rotationDegrees(crtc->rotation)));
  }
  return displays;
}

// One reading. Monitors (when the server has them), the screen resources and the CRTCs seen
// last time go out together, so a configuration that did not change costs one round trip.
// When the CRTC list did change, the new CRTCs are asked in a second one.
Reading readRandr(const Connection& connection, CrtcList& knownCrtcs) {
  xcb_connection_t* c = connection.get();
  const bool useMonitors = connection.randr() == RandrLevel::monitors;
  xcb_randr_get_monitors_cookie_t monitorsCookie{};
  if (useMonitors) {
    monitorsCookie = xcb_randr_get_monitors_unchecked(c, connection.root(), 1);
  }
  const auto resourcesCookie =
      xcb_randr_get_screen_resources_current_unchecked(c, connection.root());
  const auto guessedCookies = askCrtcs(c, knownCrtcs, XCB_CURRENT_TIME);

  MonitorsReply monitors;
  if (useMonitors) {
    monitors = connection.reply<xcb_randr_get_monitors_reply_t>(monitorsCookie,
                                                                xcb_randr_get_monitors_reply);
  }
  const ResourcesReply resources = connection.reply<xcb_randr_get_screen_resources_current_reply_t>(
      resourcesCookie, xcb_randr_get_screen_resources_current_reply);
  auto crtcs = collectCrtcs(connection, guessedCookies);
  if (!resources || (useMonitors && !monitors)) {
    return {};
  }

  CrtcList actual = crtcsOf(*resources);
  if (actual != knownCrtcs || !crtcs || anyStale(*crtcs)) {
    crtcs = collectCrtcs(connection, askCrtcs(c, actual, resources->config_timestamp));
    knownCrtcs = std::move(actual);
    if (!crtcs) {
      return {};
    }
    if (anyStale(*crtcs)) {
      return {std::nullopt, true};
    }
  }
  return {useMonitors ? fromMonitors(*monitors, *crtcs) : fromCrtcs(*crtcs), false};
}

}  // namespace

X11DisplayServices::X11DisplayServices(const Connection* connection) : connection_(connection) {}

std::optional<std::vector<DisplayInfo>> X11DisplayServices::activeDisplays() {
  if (connection_ == nullptr || connection_->broken()) {
    return std::nullopt;
  }
  // Without RandR the screen cannot change size, so the size from the handshake holds.
  if (connection_->randr() == RandrLevel::none) {
    return std::vector<DisplayInfo>{wholeScreen(*connection_)};
  }
  CrtcList crtcs = knownCrtcs();
  Reading reading;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    reading = readRandr(*connection_, crtcs);
    if (!reading.stale) {
      break;
    }
  }
  rememberCrtcs(std::move(crtcs));
  if (reading.stale) {
    return std::nullopt;
  }
  return std::move(reading.displays);
}

std::vector<xcb_randr_crtc_t> X11DisplayServices::knownCrtcs() {
  threads::Lock lock(crtcsMutex_);
  return knownCrtcs_;
}

void X11DisplayServices::rememberCrtcs(std::vector<xcb_randr_crtc_t> crtcs) {
  threads::Lock lock(crtcsMutex_);
  knownCrtcs_ = std::move(crtcs);
}

std::optional<DisplayInfo> X11DisplayServices::activeDisplay(std::uint32_t id) {
  const auto displays = activeDisplays();
  if (!displays) {
    return std::nullopt;
  }
  for (const DisplayInfo& display : *displays) {
    if (display.id == id) {
      return display;
    }
  }
  return std::nullopt;
}

}  // namespace kex::platform::x11
