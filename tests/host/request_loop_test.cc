#include "main/host/request_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "main/host/json_io.h"
#include "main/session/topology.h"
#include "tests/desktop/memory_desktop.h"

namespace kex {
namespace {

using testing::MemoryDesktop;

class RequestLoopTest : public ::testing::Test {
 protected:
  // Serves one line and returns the response text without its line feed.
  std::string serveRaw(const RawLine& line) {
    std::vector<std::string> responses;
    loop.serve(line, [&responses](std::string_view text) { responses.emplace_back(text); });
    EXPECT_EQ(responses.size(), 1u);
    EXPECT_EQ(responses.at(0).back(), '\n');
    EXPECT_EQ(std::count(responses[0].begin(), responses[0].end(), '\n'), 1);
    responses[0].pop_back();
    return responses[0];
  }

  Json serve(const std::string& text) { return Json::parse(serveRaw({text, false})); }

  static std::string envelope(const std::string& operation, const Json& args,
                              const std::string& id = "r1") {
    Json request = {{"protocol", kProtocol}, {"id", id}, {"operation", operation}, {"args", args}};
    return request.dump();
  }

  Json freshArgs() {
    return {{"sessionId", computer.sessionId()},
            {"topologyRevision", topology(desktop.displays())}};
  }

  static void expectFailure(const Json& response, const std::string& id, const std::string& code,
                            bool dispatched) {
    EXPECT_EQ(response["id"], id);
    EXPECT_EQ(response["ok"], false);
    EXPECT_EQ(response["error"], code);
    EXPECT_EQ(response["dispatched"], dispatched);
    EXPECT_FALSE(response.contains("result"));
  }

  MemoryDesktop desktop;
  SessionGate gate{desktop.session()};
  InputSafety safety{desktop, gate};
  Computer computer{desktop, gate, safety};
  RequestLoop loop{computer, safety};
};

TEST_F(RequestLoopTest, AnswersStatusWithoutSessionIdWithKeysSortedAtEveryDepth) {
  const auto text = serveRaw({envelope("status", Json::object()), false});
  EXPECT_EQ(text.rfind("{\"id\":\"r1\",\"ok\":true,\"result\":{\"backend\":", 0), 0u) << text;
  EXPECT_NE(text.find("\"permissions\":{\"accessibility\":true,\"capture\":true,\"input\":true}"),
            std::string::npos)
      << text;
  const auto response = Json::parse(text);
  EXPECT_FALSE(response.contains("dispatched"));
  EXPECT_EQ(response["result"]["sessionId"], computer.sessionId());
}

TEST_F(RequestLoopTest, KeepsOneUpperCaseSessionIdentifierForTheLifeOfTheProcess) {
  const auto& id = computer.sessionId();
  ASSERT_EQ(id.size(), 36u);
  for (std::size_t i : {8u, 13u, 18u, 23u}) EXPECT_EQ(id[i], '-');
  EXPECT_EQ(id[14], '4');
  EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos);
  EXPECT_EQ(serve(envelope("status", Json::object()))["result"]["sessionId"], id);
  EXPECT_EQ(computer.sessionId(), id);
}

TEST_F(RequestLoopTest, RefusesMalformedEnvelopesWithTheInvalidId) {
  const std::string refused[] = {
      "[]",
      R"({"protocol":"kex.computer.helper/v1","id":"a","operation":"status","args":{},"x":1})",
      R"({"protocol":"kex.computer.helper/v1","id":"a","operation":"status"})",
      R"({"protocol":"kex.computer.helper/v2","id":"a","operation":"status","args":{}})",
      R"({"protocol":1,"id":"a","operation":"status","args":{}})",
      R"({"protocol":"kex.computer.helper/v1","id":7,"operation":"status","args":{}})",
      R"({"protocol":"kex.computer.helper/v1","id":"a","operation":null,"args":{}})",
      R"({"protocol":"kex.computer.helper/v1","id":"a","operation":"status","args":[]})",
      R"({"Protocol":"kex.computer.helper/v1","id":"a","operation":"status","args":{}})",
  };
  for (const auto& line : refused) expectFailure(serve(line), "invalid", "invalid_arguments", true);
}

TEST_F(RequestLoopTest, AnswersTextThatIsNotAJsonContainerAsANativeFailure) {
  for (const std::string line : {"", "1", "\"status\"", "{", "nope", "{\"a\":1} {", "1e999"}) {
    expectFailure(serve(line), "invalid", "native_operation_failed", true);
  }
}

TEST_F(RequestLoopTest, ParsesALineOfExactlyTheLimitAndRefusesOneByteMore) {
  auto padded = [](std::size_t size) {
    std::string line = envelope("status", Json::object());
    line.insert(1, size - line.size(), ' ');
    return line;
  };
  EXPECT_EQ(serve(padded(16384))["ok"], true);
  expectFailure(serve(padded(16385)), "invalid", "invalid_arguments", true);
  expectFailure(Json::parse(serveRaw({"", true})), "invalid", "invalid_arguments", true);
}

TEST_F(RequestLoopTest, CountsTheLimitAfterReplacingInvalidUtf8) {
  // 6000 invalid bytes become 18000 bytes of replacement characters.
  std::string line = envelope("status", Json::object());
  line.insert(1, 6000, ' ');
  EXPECT_EQ(serve(line)["ok"], true);
  std::string invalid = envelope("status", Json::object(), std::string(6000, 'x'));
  std::replace(invalid.begin(), invalid.end(), 'x', '\xff');
  expectFailure(serve(invalid), "invalid", "invalid_arguments", true);
}

TEST_F(RequestLoopTest, EchoesAnIdWithInvalidUtf8AsReplacementCharacters) {
  const std::string line =
      "{\"protocol\":\"kex.computer.helper/v1\",\"id\":\"a\xff\",\"operation\":\"status\","
      "\"args\":{}}";
  EXPECT_EQ(serve(line)["id"], "a\xEF\xBF\xBD");
}

TEST_F(RequestLoopTest, SurvivesNulBytesDeepNestingHugeNumbersAndDuplicateKeys) {
  std::string nul = envelope("status", Json::object());
  nul.insert(5, 1, '\0');
  expectFailure(serve(nul), "invalid", "native_operation_failed", true);
  const std::string nested = std::string(8000, '[') + std::string(8000, ']');
  expectFailure(serve(nested), "invalid", "invalid_arguments", true);
  const std::string deepArgs =
      R"({"protocol":"kex.computer.helper/v1","id":"d","operation":"status","args":{"a":)" +
      std::string(5000, '[') + std::string(5000, ']') + "}}";
  EXPECT_EQ(serve(deepArgs)["ok"], true);
  const std::string huge =
      R"({"protocol":"kex.computer.helper/v1","id":"h","operation":"status","args":{"n":1)" +
      std::string(400, '0') + "}}";
  EXPECT_NO_THROW(serve(huge));
  const std::string duplicate =
      R"({"protocol":"kex.computer.helper/v1","id":"a","id":"b","operation":"status","args":{}})";
  const auto response = serve(duplicate);
  EXPECT_TRUE(response["id"] == "a" || response["id"] == "b");
}

TEST_F(RequestLoopTest, AppliesTheSessionGateBeforeTheFreshnessCheck) {
  expectFailure(serve(envelope("computer.displays", Json::object())), "r1", "topology_changed",
                true);
  desktop.lockScreen();
  expectFailure(serve(envelope("computer.displays", Json::object())), "r1", "session_locked", true);
  desktop.setUserId(502);
  expectFailure(serve(envelope("computer.displays", Json::object())), "r1", "session_unavailable",
                true);
}

TEST_F(RequestLoopTest, ReportsUnknownOperationsOnlyAfterTheFreshnessCheck) {
  expectFailure(serve(envelope("computer.nothing", freshArgs())), "r1", "capability_unavailable",
                true);
  auto wrongSession = freshArgs();
  wrongSession["sessionId"] = "00000000-0000-4000-8000-000000000000";
  expectFailure(serve(envelope("computer.nothing", wrongSession)), "r1", "topology_changed", true);
  auto numericRevision = freshArgs();
  numericRevision["topologyRevision"] = 1;
  expectFailure(serve(envelope("computer.nothing", numericRevision)), "r1", "topology_changed",
                true);
}

// The accessibility backend bounds each request's waits and forgets which applications went
// silent in the one before.
TEST_F(RequestLoopTest, BeginsAnAccessibilityRequestForEveryOperationItRuns) {
  (void)serve(envelope("status", Json::object()));
  (void)serve(envelope("computer.windows", Json::object()));
  (void)serve(envelope("computer.accessibility", freshArgs()));
  (void)serve("not json");
  const auto calls = desktop.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), testing::Op::beginAccessibilityRequest), 3);
}

TEST_F(RequestLoopTest, RefusesARevisionThatNoLongerMatchesTheDisplays) {
  const auto args = freshArgs();
  desktop.rotateDisplay(1, 90);
  expectFailure(serve(envelope("computer.nothing", args)), "r1", "topology_changed", true);
}

TEST_F(RequestLoopTest, AcceptsTheUnavailableRevisionWhileTheDisplayListCannotBeRead) {
  desktop.setFailing(testing::Op::activeDisplays);
  Json args = {{"sessionId", computer.sessionId()}, {"topologyRevision", "unavailable"}};
  expectFailure(serve(envelope("computer.nothing", args)), "r1", "capability_unavailable", true);
}

TEST_F(RequestLoopTest, SaysNothingWasDispatchedOnlyForACleanInputRequest) {
  // Without a "captureId" the keyboard refuses before anything is armed or posted.
  expectFailure(serve(envelope("computer.keyboard", freshArgs())), "r1", "target_stale", false);
  expectFailure(serve(envelope("computer.keyboard", Json::object())), "r1", "topology_changed",
                false);
  safety.cancel("human_interrupted");
  expectFailure(serve(envelope("computer.keyboard", freshArgs())), "r1", "target_stale", true);
}

TEST_F(RequestLoopTest, RunAnswersEveryLineInOrderIncludingALastLineWithoutLineFeed) {
  int input[2];
  int output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  const std::string lines = envelope("status", Json::object(), "one") + "\r\n" + "\n" +
                            envelope("computer.nothing", Json::object(), "three");
  writeFully(input[1], lines);
  close(input[1]);
  loop.run(input[0], output[1]);
  close(output[1]);
  std::string written;
  char buffer[4096];
  for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;)
    written.append(buffer, got);
  close(input[0]);
  close(output[0]);

  std::vector<Json> responses;
  std::size_t start = 0;
  for (std::size_t end; (end = written.find('\n', start)) != std::string::npos; start = end + 1) {
    responses.push_back(Json::parse(written.substr(start, end - start)));
  }
  ASSERT_EQ(responses.size(), 3u);
  EXPECT_EQ(responses[0]["id"], "one");
  EXPECT_EQ(responses[0]["ok"], true);
  expectFailure(responses[1], "invalid", "native_operation_failed", true);
  expectFailure(responses[2], "three", "topology_changed", true);
  EXPECT_TRUE(safety.stopped());
  EXPECT_EQ(safety.stopReason(), "cancelled");
}

// A pipe whose ends do not block and whose buffer holds one page, as a host may hand them over.
struct NonBlockingPipe {
  NonBlockingPipe() {
    EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    EXPECT_EQ(fcntl(fds[1], F_SETPIPE_SZ, 4096), 4096);
  }
  ~NonBlockingPipe() {
    for (const int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
  void closeEnd(int end) {
    close(fds[end]);
    fds[end] = -1;
  }
  [[nodiscard]] int unread() const {
    int bytes = 0;
    EXPECT_EQ(ioctl(fds[0], FIONREAD, &bytes), 0);
    return bytes;
  }
  int fds[2] = {-1, -1};
};

// Reads from a non-blocking descriptor until it holds the number of lines wanted or ends.
std::vector<std::string> readLines(int fd, std::size_t wanted) {
  std::vector<std::string> lines;
  std::string pending;
  char buffer[1024];
  while (lines.size() < wanted) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 5000) != 1) break;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0) continue;
    pending.append(buffer, static_cast<std::size_t>(got));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      lines.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  return lines;
}

// Waits until the loop has taken every byte written so far, so that its next read finds the
// pipe empty.
bool drained(const NonBlockingPipe& pipe) {
  for (int i = 0; i < 10'000 && pipe.unread() > 0; ++i) std::this_thread::yield();
  return pipe.unread() == 0;
}

// Runs the loop on its own thread. However the test ends, its input is closed and its output
// read away until the loop has returned.
class LoopThread {
 public:
  LoopThread(RequestLoop& loop, NonBlockingPipe& input, NonBlockingPipe& output)
      : input_(input), output_(output), thread_([&loop, &input, &output, this] {
          loop.run(input.fds[0], output.fds[1]);
          done_ = true;
        }) {}
  ~LoopThread() {
    if (input_.fds[1] >= 0) input_.closeEnd(1);
    char buffer[4096];
    while (!done_) {
      pollfd entry{output_.fds[0], POLLIN, 0};
      if (poll(&entry, 1, 10) == 1) (void)read(output_.fds[0], buffer, sizeof buffer);
    }
    thread_.join();
  }
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

 private:
  NonBlockingPipe& input_;
  NonBlockingPipe& output_;
  std::atomic<bool> done_ = false;
  std::thread thread_;
};

TEST_F(RequestLoopTest, RunWaitsOnNonBlockingPipesInsteadOfEndingOrDroppingResponses) {
  NonBlockingPipe input;
  NonBlockingPipe output;
  std::optional<LoopThread> server;
  server.emplace(loop, input, output);

  // Half a line, then nothing for a while: the loop finds no input and must wait for the rest.
  const std::string first = envelope("status", Json::object(), "first");
  writeFully(input.fds[1], first.substr(0, first.size() / 2));
  ASSERT_TRUE(drained(input));
  writeFully(input.fds[1], first.substr(first.size() / 2) + "\n");
  const auto firstAnswer = readLines(output.fds[0], 1);
  ASSERT_EQ(firstAnswer.size(), 1u);
  EXPECT_EQ(Json::parse(firstAnswer[0])["id"], "first");

  // Responses several times the output pipe's buffer, read only once all are asked for; the
  // requests themselves fit in the input pipe.
  constexpr int kRequests = 30;
  for (int i = 0; i < kRequests; ++i) {
    writeFully(input.fds[1], envelope("status", Json::object(), std::to_string(i)) + "\n");
  }
  input.closeEnd(1);
  const auto answers = readLines(output.fds[0], kRequests);
  server.reset();
  ASSERT_EQ(answers.size(), static_cast<std::size_t>(kRequests));
  for (int i = 0; i < kRequests; ++i) {
    const auto response = Json::parse(answers[i]);
    EXPECT_EQ(response["id"], std::to_string(i));
    EXPECT_EQ(response["ok"], true);
  }
  EXPECT_EQ(safety.stopReason(), "cancelled");
}

}  // namespace
}  // namespace kex
