#include "mcp/computer_link.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

namespace kex::mcp {
namespace {

// What /proc/<pid>/stat says, or nothing once the process is gone: one that ends between the
// listing and the reading fails the read with ESRCH (which a std::ifstream would throw).
std::optional<std::string> processStat(const char* pid) {
  const std::string path = std::string("/proc/") + pid + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ::close(fd);
      if (got < 0) return std::nullopt;
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

// A kex-computer that ends leaves its release watchdog, a copy of itself, to end a moment later.
// Where kex-mcp is a subreaper (the private desktop's process handling makes it one) the
// watchdog then becomes kex-mcp's child, and its remains would linger until kex-mcp ends. Only
// dead processes of that name are reaped: nothing else of ours is called kex-computer, and the
// current child, the only live one, is never waited for here.
void reapAdoptedWatchdogs(const std::string& program) {
  const std::string name = program.substr(program.find_last_of('/') + 1).substr(0, 15);
  const std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir("/proc"), ::closedir);
  if (!processes) return;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(processes.get())) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    const std::optional<std::string> stat = processStat(entry->d_name);
    if (!stat) continue;
    const std::string& text = *stat;
    const auto open = text.find('(');
    const auto close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) {
      continue;
    }
    const std::string comm = text.substr(open + 1, close - open - 1);
    const char state = text[close + 2];
    const long parent = std::strtol(text.c_str() + close + 4, nullptr, 10);
    if (state == 'Z' && parent == self && comm == name) {
      ::waitpid(static_cast<pid_t>(pid), nullptr, WNOHANG);
    }
  }
}

std::string envelope(const std::string& id, std::string_view operation, const Json& args) {
  const Json request = {{"protocol", kHelperProtocol},
                        {"id", id},
                        {"operation", std::string(operation)},
                        {"args", args}};
  std::string line = compact(request);
  line += '\n';
  return line;
}

StatusFacts readFacts(const Json& result) {
  StatusFacts facts;
  facts.sessionId = result.value("sessionId", "");
  facts.topologyRevision = result.value("topologyRevision", "");
  facts.sessionState = result.value("sessionState", "");
  facts.controlReady = result.value("controlReady", false);
  const Json permissions = result.value("permissions", Json::object());
  facts.captureAllowed = permissions.value("capture", false);
  facts.accessibilityAllowed = permissions.value("accessibility", false);
  facts.inputAllowed = permissions.value("input", false);
  return facts;
}

std::string describeExit(const std::optional<int>& status) {
  if (!status) return "it closed its output";
  if (*status > 128) return "it was ended by signal " + std::to_string(*status - 128);
  return "it exited with status " + std::to_string(*status);
}

}  // namespace

ComputerLink::ComputerLink(ComputerOptions options) : options_(std::move(options)) {}

ComputerLink::~ComputerLink() { replace(); }

void ComputerLink::replace() {
  child_.reset();
  facts_.reset();
}

void ComputerLink::ensureStarted() {
  if (child_) return;
  reapAdoptedWatchdogs(options_.program);
  try {
    SpawnOptions spawn;
    spawn.argv = {options_.program};
    spawn.environment = options_.environment;
    spawn.input = InputPipe::pipe;
    spawn.output = OutputPipe::pipe;
    child_ = std::make_unique<ChildProcess>(spawn);
  } catch (const SpawnError& error) {
    throw HelperUnavailable{HelperUnavailable::Reason::notStarted, error.what()};
  }
  ++generation_;
  facts_.reset();
  std::fprintf(stderr, "kex-mcp: started %s (pid %d)\n", options_.program.c_str(),
               static_cast<int>(child_->pid()));
}

void ComputerLink::giveUp(HelperUnavailable::Reason reason, std::string detail) {
  std::fprintf(stderr, "kex-mcp: gave up on kex-computer: %s\n", detail.c_str());
  replace();
  throw HelperUnavailable{reason, std::move(detail)};
}

HelperReply ComputerLink::exchange(std::string_view operation, const Json& args) {
  ensureStarted();
  const std::string id = "kex-mcp-" + std::to_string(++requestCounter_);
  if (!child_->write(envelope(id, operation, args))) {
    (void)child_->waitExit(SteadyClock::now() + std::chrono::seconds(2));
    giveUp(HelperUnavailable::Reason::ended, describeExit(child_->exitStatus()));
  }
  std::string line;
  switch (child_->readLine(line, SteadyClock::now() + options_.responseTimeout)) {
    case ReadOutcome::line:
      break;
    case ReadOutcome::ended:
      (void)child_->waitExit(SteadyClock::now() + std::chrono::seconds(2));
      giveUp(HelperUnavailable::Reason::ended, describeExit(child_->exitStatus()));
    case ReadOutcome::timedOut:
    case ReadOutcome::woken:
      giveUp(HelperUnavailable::Reason::silent,
             "no answer to " + std::string(operation) + " within " +
                 std::to_string(options_.responseTimeout.count()) + " ms");
  }
  auto reply = parseHelperReply(std::move(line));
  if (!reply || reply->id != id) {
    giveUp(HelperUnavailable::Reason::garbled,
           "its answer to " + std::string(operation) + " was not a response to it");
  }
  return std::move(*reply);
}

const StatusFacts& ComputerLink::refreshStatus() {
  const HelperReply reply = exchange("status", Json::object());
  if (!reply.ok) giveUp(HelperUnavailable::Reason::garbled, "status failed with " + reply.code);
  facts_ = readFacts(reply.result);
  return *facts_;
}

const StatusFacts& ComputerLink::facts() {
  ensureStarted();
  if (!facts_) return refreshStatus();
  return *facts_;
}

HelperReply ComputerLink::request(std::string_view operation, Json args) {
  const StatusFacts& kept = facts();
  args["sessionId"] = kept.sessionId;
  args["topologyRevision"] = kept.topologyRevision;
  HelperReply reply = exchange(operation, args);
  // The listing of displays carries the revision it was made under: the freshest there is.
  if (reply.ok && operation == "computer.displays" && facts_) {
    facts_->topologyRevision = reply.result.value("topologyRevision", facts_->topologyRevision);
  }
  return reply;
}

}  // namespace kex::mcp
