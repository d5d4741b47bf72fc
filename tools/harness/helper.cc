#include "tools/harness/helper.h"

#include <stdexcept>

namespace kex::harness {

Helper::Helper(HelperOptions options) : options_(std::move(options)) {
  ChildOptions child;
  child.argv = {options_.program};
  child.argv.insert(child.argv.end(), options_.args.begin(), options_.args.end());
  child.env = options_.env;
  child.stdinFrom = Stream::pipe;
  child.stdoutTo = Stream::pipe;
  child.stderrTo = options_.stderrTo;
  child.stderrPath = options_.stderrPath;
  process_ = std::make_unique<ChildProcess>(std::move(child));
}

std::string Helper::envelope(std::string_view id, std::string_view operation,
                             const nlohmann::json& args) {
  const nlohmann::json request{
      {"protocol", kHelperProtocol}, {"id", id}, {"operation", operation}, {"args", args}};
  return request.dump();
}

std::string Helper::nextId() { return "req-" + std::to_string(++requestCounter_); }

bool Helper::sendRaw(std::string_view bytes) {
  if (options_.onSend) options_.onSend(bytes);
  return process_->writeRaw(bytes);
}

bool Helper::sendLine(std::string_view line) {
  if (options_.onSend) options_.onSend(line);
  return process_->writeLine(line);
}

std::optional<std::string> Helper::readResponseLine(Deadline deadline) {
  auto line = process_->readLine(deadline);
  if (line && options_.onReceive) options_.onReceive(*line);
  return line;
}

std::optional<std::string> Helper::readResponseLine() {
  return readResponseLine(deadlineIn(options_.responseTimeout));
}

std::string Helper::describeMissingResponse() {
  if (!process_->outputEnded()) return "no response from kex-computer in time";
  const auto status = process_->waitExit(deadlineIn(std::chrono::seconds(2)));
  return "kex-computer closed its output (exit status " +
         (status ? std::to_string(*status) : std::string("unknown")) + ")";
}

nlohmann::json Helper::readResponse() {
  const auto line = readResponseLine();
  if (!line) throw std::runtime_error(describeMissingResponse());
  auto parsed = nlohmann::json::parse(*line, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) throw std::runtime_error("response is not JSON: " + *line);
  return parsed;
}

nlohmann::json Helper::request(std::string_view operation, const nlohmann::json& args) {
  lastRequestId_ = nextId();
  if (!sendLine(envelope(lastRequestId_, operation, args))) {
    throw std::runtime_error("kex-computer no longer reads its input");
  }
  return readResponse();
}

nlohmann::json Helper::freshnessArgs() {
  const auto status = request("status");
  const auto& result = status.at("result");
  return {{"sessionId", result.at("sessionId")},
          {"topologyRevision", result.at("topologyRevision")}};
}

}  // namespace kex::harness
