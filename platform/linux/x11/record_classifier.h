// Reads what the RECORD extension delivers: device events, and the fake-input requests that
// tell which of them this process caused.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/events.h"

namespace kex::platform::x11 {

// RECORD's categories of recorded data.
enum class RecordCategory : std::uint8_t {
  fromServer = 0,
  fromClient = 1,
  clientStarted = 2,
  clientDied = 3,
  startOfData = 4,
  endOfData = 5,
};

// One device event seen, and whether it followed from a fake-input request of the posting
// connection.
struct RecordedInput {
  EventType type = EventType::mouseMoved;
  bool own = false;
};

// One thread (the tap's). The server records a fake-input request as it dispatches it and
// handles the request at once, so the device event a request causes is the very next element of
// the recording; requests that cause nothing (a release of a key that is up) are followed by
// something else. A device event is this process's own exactly when it comes right after a
// request of the posting connection whose event type and detail it carries; everything else
// (hardware, other clients' requests, pointer warps) is human input.
class RecordClassifier {
 public:
  // ownClientBase: the resource-id base of the posting connection, by which RECORD names the
  // client of each request. xtestMajorOpcode: the XTEST extension's major opcode on the
  // recording connection, nothing when the server has no XTEST.
  RecordClassifier(std::uint32_t ownClientBase, std::optional<std::uint8_t> xtestMajorOpcode);

  // One element of the recording: its category, the resource-id base of the client it concerns
  // (0 for device events), whether that client's byte order differs from ours, and its bytes.
  // Appends the device events it holds to `inputs`, in order.
  void feed(RecordCategory category, std::uint32_t clientBase, bool swapped,
            std::span<const std::uint8_t> data, std::vector<RecordedInput>& inputs);

  // The server ended the recording.
  [[nodiscard]] bool ended() const { return ended_; }

 private:
  struct Request {
    std::uint8_t type;
    std::uint8_t detail;
  };

  void readRequests(std::uint32_t clientBase, bool swapped, std::span<const std::uint8_t> data);
  void readEvents(std::span<const std::uint8_t> data, std::vector<RecordedInput>& inputs);

  std::uint32_t ownClientBase_;
  std::optional<std::uint8_t> xtestMajorOpcode_;
  std::optional<Request> pending_;  // this process's latest request, until the next element
  bool ended_ = false;
};

// The kind of input a core device event stands for; nothing for other events.
// Buttons 4 to 7 scroll; a motion with the left or right button held is a drag of it, with only
// another button held a drag of another button.
[[nodiscard]] std::optional<EventType> inputTypeOfCoreEvent(std::uint8_t type, std::uint8_t detail,
                                                            std::uint16_t state);

}  // namespace kex::platform::x11
