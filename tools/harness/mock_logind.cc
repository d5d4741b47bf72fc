#include "tools/harness/mock_logind.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kex::harness {
namespace {

constexpr char kLogind[] = "org.freedesktop.login1";

// The bus daemon's address, announced on a pipe whose write end only the daemon holds.
std::string readAnnouncement(int fd, Deadline deadline) {
  std::string text;
  while (text.find('\n') == std::string::npos) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, millisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};
    char chunk[256];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text.substr(0, text.find('\n'));
}

}  // namespace

MockLogind::MockLogind(const std::string& runtimeDir, const std::string& display,
                       Deadline deadline) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
  }
  ChildOptions bus;
  // The session bus's configuration lets any local client own any name, which the mock needs.
  bus.argv = {"dbus-daemon", "--session", "--nofork",
              "--address=unix:path=" + runtimeDir + "/system-bus",
              "--print-address=" + std::to_string(fds[1])};
  bus.stderrPath = runtimeDir + "/system-bus.log";
  bus.inheritedFds = {fds[1]};
  try {
    bus_ = std::make_unique<ChildProcess>(std::move(bus));
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  address_ = readAnnouncement(fds[0], deadline);
  ::close(fds[0]);
  if (address_.empty()) throw std::runtime_error("the private system bus gave no address");

  ChildOptions mock;
  // Debian's dbusmock lives in the system's Python, whatever python3 comes first in PATH.
  mock.argv = {"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"};
  mock.env = {{"DBUS_SYSTEM_BUS_ADDRESS", address_}, {"DISPLAY", display}};
  mock.stderrPath = runtimeDir + "/mock-logind.log";
  mock_ = std::make_unique<ChildProcess>(std::move(mock));
  while (send({"/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
               std::string("string:") + kLogind})
             .exitStatus != 0) {
    if (hasPassed(deadline) || mock_->waitExit(Clock::now())) {
      throw std::runtime_error("the mock logind did not take its name");
    }
  }
}

MockLogind::~MockLogind() {
  mock_.reset();
  bus_.reset();
}

bool MockLogind::addSession(const std::string& id, const std::string& seat, std::uint32_t uid,
                            const std::string& user, bool active) {
  return send({"/org/freedesktop/login1", "org.freedesktop.DBus.Mock.AddSession", "string:" + id,
               "string:" + seat, "uint32:" + std::to_string(uid), "string:" + user,
               std::string("boolean:") + (active ? "true" : "false")})
             .exitStatus == 0;
}

Ending MockLogind::send(const std::vector<std::string>& arguments) {
  const bool toBus = arguments.front() == "/org/freedesktop/DBus";
  std::vector<std::string> argv{
      "dbus-send", "--bus=" + address_, "--print-reply",
      std::string("--dest=") + (toBus ? "org.freedesktop.DBus" : kLogind)};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runTool(argv, {}, deadlineIn(std::chrono::seconds(5)));
}

}  // namespace kex::harness
