#include "platform/linux/x11/process_info.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace kex::platform::x11 {
namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;

// Closes the descriptor when it goes. Used by the one thread that opened it.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The whole of a small /proc file, read relative to dirFd (or an absolute path with -1).
std::optional<std::string> readSmallFile(int dirFd, const char* path) {
  FileDescriptor file(::openat(dirFd, path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      return std::nullopt;
    }
    if (got == 0) {
      return content;
    }
    content.append(buffer, static_cast<std::size_t>(got));
  }
}

template <typename T>
std::optional<T> numberAt(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) {
    return std::nullopt;
  }
  return value;
}

// The number after "name" at the start of some line of text.
template <typename T>
std::optional<T> fieldOfLine(std::string_view text, std::string_view name) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    if (line.substr(0, name.size()) == name) {
      return numberAt<T>(line.substr(name.size()));
    }
    at = end + 1;
  }
  return std::nullopt;
}

// Seconds since the epoch at which the system booted. It never changes, so it is read once.
std::optional<std::uint64_t> bootTime() {
  static const std::optional<std::uint64_t> seconds = [] {
    const auto stat = readSmallFile(AT_FDCWD, "/proc/stat");
    return stat ? fieldOfLine<std::uint64_t>(*stat, "btime ") : std::nullopt;
  }();
  return seconds;
}

// Field 22 of /proc/PID/stat. The command name (field 2) may hold spaces and parentheses, so
// counting starts after its last closing parenthesis, where field 3 begins.
std::optional<std::uint64_t> startTicks(std::string_view stat) {
  const std::size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string_view::npos) {
    return std::nullopt;
  }
  std::string_view rest = stat.substr(nameEnd + 1);
  constexpr int kFieldsBefore = 22 - 3;
  for (int field = 0; field < kFieldsBefore; ++field) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    rest.remove_prefix(std::min(rest.find(' '), rest.size()));
  }
  return numberAt<std::uint64_t>(rest);
}

std::string procDirectory(std::int32_t pid) { return "/proc/" + std::to_string(pid); }

// The kernel appends this to the link's text once the file it names was removed or replaced,
// as a package upgrade does to a running program.
constexpr std::string_view kDeletedSuffix = " (deleted)";

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The path the executable was started from. A file whose name really ends in the suffix is
// still there under that name and is the very file the process runs.
std::string withoutDeletedSuffix(const std::string& link, std::string target) {
  if (!target.ends_with(kDeletedSuffix)) return target;
  struct stat running {};
  struct stat named {};
  if (::stat(link.c_str(), &running) == 0 && ::stat(target.c_str(), &named) == 0 &&
      sameFile(running, named)) {
    return target;
  }
  target.resize(target.size() - kDeletedSuffix.size());
  return target;
}

}  // namespace

std::optional<std::string> executablePath(std::int32_t pid) {
  if (pid <= 0) {
    return std::nullopt;
  }
  const std::string link = procDirectory(pid) + "/exe";
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target || target[0] != '/') {
    return std::nullopt;
  }
  return withoutDeletedSuffix(link, std::string(target, static_cast<std::size_t>(length)));
}

std::optional<ProcessRecord> readProcessRecord(std::int32_t pid) {
  if (pid <= 0) {
    return std::nullopt;
  }
  // Both files are read through one directory descriptor, so they describe the same process
  // even if the pid is reused in between.
  FileDescriptor directory(::open(procDirectory(pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) {
    return std::nullopt;
  }
  const auto status = readSmallFile(directory.get(), "status");
  const auto stat = readSmallFile(directory.get(), "stat");
  if (!status || !stat) {
    return std::nullopt;
  }
  const auto userId = fieldOfLine<std::uint32_t>(*status, "Uid:");
  const auto ticks = startTicks(*stat);
  const auto boot = bootTime();
  const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  if (!userId || !ticks || !boot || ticksPerSecond <= 0) {
    return std::nullopt;
  }
  const auto perSecond = static_cast<std::uint64_t>(ticksPerSecond);
  ProcessRecord record;
  record.userId = *userId;
  record.startSeconds = *boot + *ticks / perSecond;
  record.startMicroseconds =
      static_cast<std::uint32_t>((*ticks % perSecond) * kMicrosecondsPerSecond / perSecond);
  return record;
}

}  // namespace kex::platform::x11
