// Synthetic input through the XTEST extension.
#pragma once

#include <memory>

#include "platform/events.h"
#include "platform/linux/x11/connection.h"
#include "platform/linux/x11/text_typist.h"

namespace kex::platform::x11 {

// Any thread: the request thread posts operations and the signal thread posts the releases
// that end them. xcb orders the requests of concurrent posters; the typist keeps its own lock.
class X11EventServices final : public EventServices {
 public:
  // connection is nullptr when no display could be opened.
  explicit X11EventServices(const Connection* connection);

  void post(const Event& event) override;
  [[nodiscard]] std::unique_ptr<InputTap> createInputTap(InputTapListener& listener) override;

 private:
  const Connection* connection_;
  std::unique_ptr<TextTypist> typist_;  // nullptr without a connection
};

}  // namespace kex::platform::x11
