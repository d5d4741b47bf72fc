#include "mcp/command_line.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kex::mcp {
namespace {

bool parseSize(const std::string& text, int& width, int& height) {
  const auto x = text.find('x');
  if (x == std::string::npos) return false;
  char* end = nullptr;
  const long w = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + x) return false;
  const long h = std::strtol(text.c_str() + x + 1, &end, 10);
  if (*end != '\0' || end == text.c_str() + x + 1) return false;
  if (w < 320 || h < 240 || w > 8192 || h > 8192) return false;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  ServerOptions options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (flag == "--help" || flag == "-h") return ShowHelp{};
    if (flag == "--version") return ShowVersion{};
    if (flag == "--private-desktop") {
      options.desktop = DesktopChoice::privateDesktop;
      continue;
    }
    const bool takesValue = flag == "--desktop-size" || flag == "--computer" || flag == "--confirm";
    if (!takesValue) return UsageError{"unknown option " + flag};
    if (i + 1 >= arguments.size()) return UsageError{flag + " needs a value"};
    const std::string& value = arguments[++i];
    if (flag == "--computer") {
      options.computerProgram = value;
    } else if (flag == "--confirm") {
      options.confirmProgram = value;
    } else if (!parseSize(value, options.desktopWidth, options.desktopHeight)) {
      return UsageError{"--desktop-size wants WIDTHxHEIGHT, from 320x240 to 8192x8192"};
    }
  }
  if (options.computerProgram.empty()) options.computerProgram = siblingProgram("kex-computer");
  if (options.confirmProgram.empty()) options.confirmProgram = siblingProgram("kex-confirm");
  return options;
}

std::string siblingProgram(const std::string& name) {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto beside = self.parent_path() / name;
    if (::access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  return name;
}

std::string helpText() {
  return R"(Usage: kex-mcp [--private-desktop [--desktop-size WxH]] [--computer PATH] [--confirm PATH]

kex-mcp is a Model Context Protocol server, spoken over standard input and output, that lets an
assistant see and, with the owner's consent, operate a Linux (X11) desktop through kex-computer.
It offers tools to list displays and windows, capture a display or a window as an image, read a
window's accessibility tree, focus a window, press or focus controls, click, double-click, move
the pointer, scroll, drag, type text and press keys.

MCP client configuration: add one server entry that starts kex-mcp, for example
  {"mcpServers": {"kex": {"command": "/usr/local/bin/kex-mcp"}}}
(or the path of build/bin/kex-mcp). The client must pass DISPLAY (and DBUS_SESSION_BUS_ADDRESS
for accessibility trees) through to kex-mcp if it does not pass its whole environment.

What the person at the computer sees: nothing while the assistant only looks. Before the first
input of a session (click, typing, focusing ...) the desktop's own authentication prompt asks
them to "Approve this request in Kex" with their password; if they cancel, no input is sent.
As soon as they touch the keyboard or mouse, control stops at once, the assistant is told, and
its next input asks for approval again. Without an authentication agent on the desktop no
prompt can be shown and control stays off; observation keeps working.

Options:
  --private-desktop     Bring up a private virtual desktop (Xvfb, a session bus, the
                        accessibility bus, openbox) and work on it instead of the caller's
                        display. Nobody is at it, so input needs no approval: for sandboxes and
                        CI. Its environment is printed on standard error; programs started with
                        it appear on the private desktop. It is taken down when kex-mcp ends.
  --desktop-size WxH    Size of the private desktop (default 1280x800).
  --computer PATH       The kex-computer program (default: the one beside kex-mcp, else PATH).
  --confirm PATH        The kex-confirm program (default: the one beside kex-mcp, else PATH).
  --help                This text.
  --version             The version.

Standard output carries protocol messages only; logs go to standard error. kex-mcp ends when its
standard input ends, or on SIGTERM, SIGINT or SIGHUP, releasing anything kex-computer holds.
)";
}

}  // namespace kex::mcp
