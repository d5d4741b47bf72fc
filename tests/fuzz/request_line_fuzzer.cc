// libFuzzer target: any bytes on standard input are answered with exactly one well-formed
// response line a request line, carrying a catalogued code, and never crash or hang the loop.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "main/common/failure.h"
#include "main/common/json.h"
#include "main/host/computer.h"
#include "main/host/request_loop.h"
#include "main/safety/input_safety.h"
#include "main/session/session_state.h"
#include "tests/desktop/memory_desktop.h"

namespace {

void requireWellFormed(std::string_view response) {
  if (response.empty() || response.back() != '\n') std::abort();
  const auto value = kex::Json::parse(response.substr(0, response.size() - 1));
  if (!value.is_object() || !value.contains("id") || !value.contains("ok")) std::abort();
  if (value["ok"].get<bool>()) return;
  if (!kex::isCatalogued(value["error"].get<std::string>())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kex::testing::MemoryDesktop desktop;
  desktop.setUserId(501);
  kex::SessionGate session(desktop.session());
  kex::InputSafety safety(desktop, session);
  kex::Computer computer(desktop, session, safety);
  kex::RequestLoop loop(computer, safety);

  // Split the input into lines the way the reader does, through a pipe-free path: each line
  // is served alone, as the loop would.
  std::string_view input(reinterpret_cast<const char*>(data), size);
  int responses = 0;
  int lines = 0;
  const kex::RequestLoop::Output output = [&responses](std::string_view response) {
    requireWellFormed(response);
    ++responses;
  };
  while (!input.empty()) {
    const auto newline = input.find('\n');
    std::string_view text = input.substr(0, newline);
    input.remove_prefix(newline == std::string_view::npos ? input.size() : newline + 1);
    kex::RawLine line;
    if (!text.empty() && text.back() == '\r' && newline != std::string_view::npos) {
      text.remove_suffix(1);
    }
    line.tooLong = text.size() > kex::kMaxRequestLineBytes;
    if (!line.tooLong) line.bytes = std::string(text);
    loop.serve(line, output);
    ++lines;
  }
  if (responses != lines) std::abort();
  return 0;
}
