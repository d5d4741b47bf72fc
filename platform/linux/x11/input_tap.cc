#include "platform/linux/x11/input_tap.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace kex::platform::x11 {
namespace {

using ReplyPointer = std::unique_ptr<void, decltype(&std::free)>;

// Core KeyPress to MotionNotify: key presses and releases, button presses and releases, motion.
constexpr std::uint8_t kFirstDeviceEvent = XCB_KEY_PRESS;
constexpr std::uint8_t kLastDeviceEvent = XCB_MOTION_NOTIFY;
constexpr std::uint8_t kFakeInputMinorOpcode = 2;

std::optional<std::uint8_t> xtestMajorOpcode(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
  if (xtest == nullptr || xtest->present == 0) return std::nullopt;
  return xtest->major_opcode;
}

xcb_record_range_t recordedRange(std::optional<std::uint8_t> xtestMajor) {
  xcb_record_range_t range;
  std::memset(&range, 0, sizeof range);
  range.device_events.first = kFirstDeviceEvent;
  range.device_events.last = kLastDeviceEvent;
  if (xtestMajor) {
    range.ext_requests.major.first = *xtestMajor;
    range.ext_requests.major.last = *xtestMajor;
    range.ext_requests.minor.first = kFakeInputMinorOpcode;
    range.ext_requests.minor.last = kFakeInputMinorOpcode;
  }
  return range;
}

bool createContext(xcb_connection_t* connection, xcb_record_context_t context,
                   const xcb_record_range_t& range) {
  const xcb_record_client_spec_t everyone = XCB_RECORD_CS_ALL_CLIENTS;
  const auto cookie =
      xcb_record_create_context_checked(connection, context, 0, 1, 1, &everyone, &range);
  xcb_generic_error_t* error = xcb_request_check(connection, cookie);
  std::free(error);
  return error == nullptr && xcb_connection_has_error(connection) == 0;
}

// The first reply of an enabled context says the recording has started.
bool awaitStartOfData(xcb_connection_t* connection, xcb_record_enable_context_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  ReplyPointer reply(xcb_record_enable_context_reply(connection, cookie, &error), &std::free);
  std::free(error);
  if (!reply) return false;
  const auto* first = static_cast<const xcb_record_enable_context_reply_t*>(reply.get());
  return first->category == static_cast<std::uint8_t>(RecordCategory::startOfData);
}

}  // namespace

std::unique_ptr<RecordInputTap> RecordInputTap::open(InputTapListener& listener,
                                                     std::uint32_t ownClientBase) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const auto fail = [connection] {
    xcb_disconnect(connection);
    return nullptr;
  };
  if (xcb_connection_has_error(connection) != 0) return fail();
  xcb_prefetch_extension_data(connection, &xcb_record_id);
  xcb_prefetch_extension_data(connection, &xcb_test_id);
  const xcb_query_extension_reply_t* record = xcb_get_extension_data(connection, &xcb_record_id);
  if (record == nullptr || record->present == 0) return fail();
  const auto xtestMajor = xtestMajorOpcode(connection);

  const xcb_record_context_t context = xcb_generate_id(connection);
  if (!createContext(connection, context, recordedRange(xtestMajor))) return fail();
  const auto cookie = xcb_record_enable_context(connection, context);
  if (!awaitStartOfData(connection, cookie)) return fail();

  const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) return fail();
  return std::unique_ptr<RecordInputTap>(new RecordInputTap(
      listener, connection, stopFd, cookie.sequence, RecordClassifier(ownClientBase, xtestMajor)));
}

RecordInputTap::RecordInputTap(InputTapListener& listener, xcb_connection_t* connection, int stopFd,
                               unsigned int sequence, RecordClassifier classifier)
    : listener_(listener),
      connection_(connection),
      stopFd_(stopFd),
      sequence_(sequence),
      classifier_(classifier),
      ownProcessId_(static_cast<std::int32_t>(::getpid())) {}

// The context belongs to this connection and goes with it.
RecordInputTap::~RecordInputTap() {
  xcb_disconnect(connection_);
  ::close(stopFd_);
}

bool RecordInputTap::valid() {
  return !ended_.load() && xcb_connection_has_error(connection_) == 0;
}

bool RecordInputTap::enabled() { return !ended_.load() && !stopped_.load(); }

void RecordInputTap::stop() {
  stopped_.store(true);
  const std::uint64_t one = 1;
  (void)::write(stopFd_, &one, sizeof one);
}

void RecordInputTap::run() {
  pollfd watched[2] = {{xcb_get_file_descriptor(connection_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
  while (!stopped_.load()) {
    if (!drainReplies()) {
      ended_.store(true);
      if (!stopped_.load()) listener_.tapDisabled();
      return;
    }
    const int ready = ::poll(watched, 2, -1);
    if (ready < 0 && errno != EINTR) {
      ended_.store(true);
      if (!stopped_.load()) listener_.tapDisabled();
      return;
    }
  }
}

bool RecordInputTap::drainReplies() {
  for (;;) {
    void* raw = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection_, sequence_, &raw, &error) == 0) {
      return xcb_connection_has_error(connection_) == 0;
    }
    std::free(error);
    ReplyPointer reply(raw, &std::free);
    // An answer without a reply: an error, or the request completed without more data.
    if (!reply) return false;
    deliver(static_cast<const xcb_generic_reply_t*>(reply.get()));
    if (classifier_.ended()) return false;
  }
}

void RecordInputTap::deliver(const xcb_generic_reply_t* generic) {
  const auto* reply = reinterpret_cast<const xcb_record_enable_context_reply_t*>(generic);
  const std::uint8_t* bytes = xcb_record_enable_context_data(reply);
  const int length = xcb_record_enable_context_data_length(reply);
  std::vector<RecordedInput> inputs;
  classifier_.feed(static_cast<RecordCategory>(reply->category), reply->xid_base,
                   reply->client_swapped != 0,
                   std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(length)), inputs);
  for (const RecordedInput& input : inputs) {
    listener_.inputObserved({input.type, input.own ? ownProcessId_ : 0});
  }
}

}  // namespace kex::platform::x11
