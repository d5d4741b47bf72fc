// The XTEST poster on a private desktop: input on a connection the X server has closed fails
// for its caller instead of vanishing, and the poster says it can no longer post.
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/x11/event_poster.h"
#include "tests/e2e/control_probe.h"
#include "tests/e2e/e2e_fixture.h"

namespace kex::e2e {
namespace {

using platform::Event;
using platform::EventNotPosted;
using platform::EventType;

constexpr std::uint16_t kReturnCode = 36;

Event key(EventType type, std::uint16_t code) {
  Event event;
  event.type = type;
  event.keyCode = code;
  return event;
}

// Runs on the test thread, with the suite's desktop as DISPLAY.
class EventPosterE2E : public DesktopTest {
 protected:
  void SetUp() override {
    DesktopTest::SetUp();
    if (HasFatalFailure()) return;
    ::setenv("DISPLAY", desktop().display().c_str(), 1);
    auto connection = platform::x11::Connection::open();
    ASSERT_TRUE(connection);
    // The server closes a client named by a resource of it: a pixmap the poster never uses.
    xcb_connection_t* c = connection->get();
    resource_ = xcb_generate_id(c);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    ASSERT_EQ(xcb_request_check(c, xcb_create_pixmap_checked(c, screen->root_depth, resource_,
                                                             screen->root, 1, 1)),
              nullptr);
    poster_ = std::make_unique<platform::x11::X11EventServices>(std::move(connection));
  }

  // The server closes the poster's connection, as xkill makes it do; returns once it has.
  void killPosterClient() const {
    xcb_connection_t* other = xcb_connect(desktop().display().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(other), 0);
    xcb_kill_client(other, resource_);
    std::free(xcb_get_input_focus_reply(other, xcb_get_input_focus(other), nullptr));
    xcb_disconnect(other);
  }

  std::uint32_t resource_ = 0;
  std::unique_ptr<platform::x11::X11EventServices> poster_;
};

TEST_F(EventPosterE2E, InputOnAConnectionTheServerClosedFailsAndNothingLaterIsSent) {
  auto app = desktop().startApp({"--title", "Poster"});
  // The focus may have come before the application said it was ready.
  const auto& lines = app->lines();
  if (std::find(lines.begin(), lines.end(), "focus-in") == lines.end()) {
    ASSERT_TRUE(app->waitForLine("focus-in", harness::deadlineIn(std::chrono::seconds(10))));
  }
  ASSERT_TRUE(poster_->canPost());
  poster_->post(key(EventType::keyDown, kReturnCode));
  poster_->post(key(EventType::keyUp, kReturnCode));
  EXPECT_EQ(app->waitForLine("key ", harness::deadlineIn(std::chrono::seconds(10))), "key Return");

  killPosterClient();
  // The poster learns of it only as it sends: it cannot tell what the server still took.
  EXPECT_THROW(poster_->post(key(EventType::keyDown, kReturnCode)), platform::PlatformError);
  EXPECT_FALSE(poster_->canPost());
  try {
    poster_->post(key(EventType::keyDown, kReturnCode));
    ADD_FAILURE() << "posted on a closed connection";
  } catch (const EventNotPosted& notPosted) {
    EXPECT_EQ(notPosted.reason(), EventNotPosted::Reason::undelivered);
  }
  EXPECT_TRUE(heldInput(desktop()).empty()) << "no key went down after the connection closed";
}

}  // namespace
}  // namespace kex::e2e
