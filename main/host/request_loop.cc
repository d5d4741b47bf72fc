#include "main/host/request_loop.h"

#include <unistd.h>

#include <cerrno>

#include "main/common/failure.h"
#include "main/host/json_io.h"

namespace kex {
namespace {

bool isEnvelope(const Json& request) {
  if (!request.is_object() || request.size() != 4) return false;
  for (const char* key : {"protocol", "id", "operation", "args"}) {
    if (!request.contains(key)) return false;
  }
  const auto& protocol = request["protocol"];
  if (!protocol.is_string() || protocol.get_ref<const std::string&>() != kProtocol) return false;
  return request["id"].is_string() && request["operation"].is_string() &&
         request["args"].is_object();
}

// Closes the request bracket however the line ends.
class BracketCloser {
 public:
  explicit BracketCloser(InputSafety& safety) : safety_(safety) {}
  BracketCloser(const BracketCloser&) = delete;
  BracketCloser& operator=(const BracketCloser&) = delete;
  ~BracketCloser() { safety_.endRequest(); }

 private:
  InputSafety& safety_;
};

}  // namespace

void writeFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    // A non-blocking output whose pipe is full: the rest of the line goes out once the host reads.
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      awaitWritable(fd);
      continue;
    }
    if (written <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void RequestLoop::serve(const RawLine& line, const Output& output) {
  BracketCloser closer(safety_);
  output(answer(line));
}

std::string RequestLoop::answer(const RawLine& line) {
  std::string id = "invalid";
  std::string_view code;
  try {
    if (line.tooLong) throw Failure(codes::invalidArguments);
    const std::string text = sanitizeUtf8(line.bytes);
    if (text.size() > kMaxRequestLineBytes) throw Failure(codes::invalidArguments);
    const Json request = parseRequestLine(text);
    if (!isEnvelope(request)) throw Failure(codes::invalidArguments);
    id = request["id"].get<std::string>();
    const auto& operation = request["operation"].get_ref<const std::string&>();
    safety_.beginRequest(operation);
    return successLine(id, computer_.invoke(operation, request["args"]));
  } catch (const Failure& failure) {
    return failureLine(id, failure.code, safety_.requestMayHaveDispatched());
  } catch (const TaskCancelled&) {
    safety_.noteUncertainOutcome();
    code = codes::cancelled;
  } catch (...) {
    code = codes::nativeOperationFailed;
  }
  return failureLine(id, code, safety_.requestMayHaveDispatched());
}

void RequestLoop::run(int inputFd, int outputFd) {
  LineReader reader(inputFd);
  const Output output = [outputFd](std::string_view response) { writeFully(outputFd, response); };
  while (auto line = reader.next()) serve(*line, output);
  safety_.cancel(codes::cancelled);
}

}  // namespace kex
