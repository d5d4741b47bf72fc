// kex-mcp's command line.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace kex::mcp {

enum class DesktopChoice { callersDisplay, privateDesktop };

struct ServerOptions {
  DesktopChoice desktop = DesktopChoice::callersDisplay;
  int desktopWidth = 1280;
  int desktopHeight = 800;
  std::string computerProgram;  // empty: kex-computer beside kex-mcp, else from PATH
  std::string confirmProgram;   // empty: kex-confirm beside kex-mcp, else from PATH
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  std::string message;
};

using CommandLine = std::variant<ServerOptions, ShowHelp, ShowVersion, UsageError>;

[[nodiscard]] CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The text of --help.
[[nodiscard]] std::string helpText();

// A program that ships beside kex-mcp: that path when it exists there, else the bare name for
// a PATH look-up.
[[nodiscard]] std::string siblingProgram(const std::string& name);

}  // namespace kex::mcp
