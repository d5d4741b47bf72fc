#include "main/safety/release_watchdog.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "main/safety/control_lock.h"
#include "main/safety/held_input_line.h"

namespace kex {
namespace {

using platform::Event;

// How long the watchdog waits before it posts the releases a second time. A parent killed in the
// middle of a press may leave that press unread in its display connection; the display can still
// act on it after the watchdog's first releases, and a release of a key that is already up
// does nothing.
constexpr auto kSecondReleaseDelay = std::chrono::milliseconds(100);

// Reads lines from a descriptor without ever holding more than one line's limit in memory. The
// watchdog's one thread.
class LineSource {
 public:
  enum class Outcome { line, tooLong, ended };

  explicit LineSource(int fd) : fd_(fd) {}

  // The next line without its terminator. A last line without a line feed was cut off by the
  // writer's end and counts as the end of input: its sender never saw it acknowledged.
  Outcome next(std::string& line) {
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        line.assign(buffer_, 0, end);
        buffer_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line.size() > kMaxHeldLineBytes ? Outcome::tooLong : Outcome::line;
      }
      // One byte over the limit plus a possible carriage return is all it takes to refuse.
      if (buffer_.size() > kMaxHeldLineBytes + 1) return Outcome::tooLong;
      if (!fill()) return Outcome::ended;
    }
  }

 private:
  bool fill() {
    char chunk[4096];
    for (;;) {
      const ssize_t got = ::read(fd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(got));
      return true;
    }
  }

  int fd_;
  std::string buffer_;
};

bool writeByte(int fd, char byte) {
  for (;;) {
    const ssize_t written = ::write(fd, &byte, 1);
    if (written < 0 && errno == EINTR) continue;
    return written == 1;
  }
}

// Each release on its own: one the desktop does not take must not keep the others held.
void postAll(platform::EventServices& poster, const std::vector<Event>& events) {
  for (const Event& event : events) {
    try {
      poster.post(event);
    } catch (const std::exception&) {
      continue;
    }
  }
}

// Accepts lines until one ends the watchdog; returns the last accepted set.
std::vector<Event> acceptHeldSets(int input, int output) {
  std::vector<Event> held;
  LineSource source(input);
  std::string line;
  while (source.next(line) == LineSource::Outcome::line) {
    auto releases = parseHeldInputLine(line);
    if (!releases) break;
    held = std::move(*releases);
    if (!writeByte(output, kWatchdogAccepted)) break;
  }
  return held;
}

}  // namespace

void releaseWatchdog(const EventPosterFactory& openPoster, const std::string& lockPath, int input,
                     int output) {
  ::signal(SIGPIPE, SIG_IGN);
  const auto lock = ControlLock::acquire(lockPath, ::getuid());
  if (!lock) {
    (void)writeByte(output, kWatchdogLockRefused);
    return;
  }
  // Without a way to post, this watchdog could not keep its promise; it never acknowledges, so
  // the parent finds it lost and does not arm.
  const std::unique_ptr<platform::EventServices> poster = openPoster();
  if (!poster) return;

  const std::vector<Event> held = acceptHeldSets(input, output);
  if (held.empty()) return;
  postAll(*poster, held);
  std::this_thread::sleep_for(kSecondReleaseDelay);
  postAll(*poster, held);
  // A parent killed while typing held the text's key, and may have left typing changes in place
  // (keys bound for the moment to characters the keymap lacks). The releases come first: undoing
  // may wait for the focused application.
  poster->undoAbandonedTyping();
}

}  // namespace kex
