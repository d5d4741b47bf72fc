// Drives kex-computer over its pipes as a host does: one JSON request per line in, one JSON
// response per line out.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/harness/child_process.h"
#include "tools/harness/deadline.h"

namespace kex::harness {

inline constexpr std::string_view kHelperProtocol = "kex.computer.helper/v1";

struct HelperOptions {
  std::string program = {};
  std::vector<std::string> args = {};
  EnvChanges env = {};
  // Where kex-computer's standard error goes: by default the file at stderrPath (/dev/null when
  // it is empty).
  Stream stderrTo = Stream::file;
  std::string stderrPath = {};
  std::chrono::milliseconds responseTimeout{10'000};
  // Called with every line sent and every line received, for transcripts.
  std::function<void(std::string_view)> onSend = {};
  std::function<void(std::string_view)> onReceive = {};
};

// One kex-computer process. Not thread-safe: one thread drives it.
class Helper {
 public:
  // Throws std::runtime_error when the program cannot be started.
  explicit Helper(HelperOptions options);

  // The request line for the operation, without its line feed.
  [[nodiscard]] static std::string envelope(std::string_view id, std::string_view operation,
                                            const nlohmann::json& args);

  // Sends the operation with a fresh id and returns the response. Throws std::runtime_error
  // when no response line comes within the timeout or the line is not JSON.
  nlohmann::json request(std::string_view operation,
                         const nlohmann::json& args = nlohmann::json::object());
  // The arguments every operation but status needs, read from a fresh status response.
  [[nodiscard]] nlohmann::json freshnessArgs();

  // Sends the bytes as they are.
  bool sendRaw(std::string_view bytes);
  bool sendLine(std::string_view line);
  // The next response line, or nothing at the deadline or at end of output.
  [[nodiscard]] std::optional<std::string> readResponseLine(Deadline deadline);
  [[nodiscard]] std::optional<std::string> readResponseLine();
  // The next response parsed; throws std::runtime_error when it is missing or not JSON.
  nlohmann::json readResponse();

  void closeInput() { process_->closeStdin(); }
  [[nodiscard]] std::optional<int> waitExit(Deadline deadline) {
    return process_->waitExit(deadline);
  }
  [[nodiscard]] ChildProcess& process() { return *process_; }
  [[nodiscard]] std::string nextId();
  // The id of the request request() sent last.
  [[nodiscard]] const std::string& lastRequestId() const { return lastRequestId_; }

 private:
  [[nodiscard]] std::string describeMissingResponse();

  HelperOptions options_;
  std::unique_ptr<ChildProcess> process_;
  int requestCounter_ = 0;
  std::string lastRequestId_;
};

}  // namespace kex::harness
