// The kex-mcp program as a client meets it: its command line, how it ends, and its standard
// output, which must carry protocol messages and nothing else, whatever its children print.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/harness/child_process.h"

namespace kex::mcp::test {
namespace {

using harness::ChildOptions;
using harness::ChildProcess;
using harness::deadlineIn;
using nlohmann::json;
using namespace std::chrono_literals;

const json kScript = json::parse(R"({"topology":"T1","rules":[
  {"op":"computer.windows","reply":{"ok":true,"result":{"windows":[{"targetId":"W","title":"t",
    "application":"a","sourceRect":{"x":0.0,"y":0.0,"width":100.0,"height":80.0}}]}}},
  {"op":"computer.capture","reply":{"ok":true,"result":{"captureId":"C","width":100,"height":80,
    "image":"iVBORw0KGgo=","transform":{"scaleX":1.0,"scaleY":1.0,"offsetX":0.0,"offsetY":0.0}}}},
  {"op":"computer.pointer","reply":{"ok":true,"result":{"verified":false}}}]})");

// Runs on the test thread.
class KexMcpProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kex-mcp-process-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ + "/script.json") << kScript.dump();
    // An approval helper that, besides its word, chatters on its standard output.
    const std::string confirm = dir_ + "/confirm.sh";
    std::ofstream(confirm) << "#!/bin/sh\necho 'not a protocol line'\necho '{\"jsonrpc\":'\n"
                           << "echo verified\n";
    ::chmod(confirm.c_str(), 0755);
  }
  void TearDown() override {
    server_.reset();
    std::filesystem::remove_all(dir_);
  }

  void start(std::vector<std::string> arguments = {}) {
    ChildOptions options;
    options.argv = {KEX_MCP_PATH, "--computer", KEX_MCP_FAKE_COMPUTER_PATH, "--confirm",
                    dir_ + "/confirm.sh"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.env = {{"KEX_FAKE_SCRIPT", dir_ + "/script.json"},
                   {"KEX_FAKE_LOG", dir_ + "/computer.log"}};
    options.stdinFrom = harness::Stream::pipe;
    options.stdoutTo = harness::Stream::pipe;
    options.stderrPath = dir_ + "/stderr.log";
    server_ = std::make_unique<ChildProcess>(std::move(options));
  }

  json call(int id, const std::string& method, const json& params) {
    const json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}};
    EXPECT_TRUE(server_->writeLine(request.dump()));
    const auto line = server_->readLine(deadlineIn(20s));
    if (!line) return json();
    lines_.push_back(*line);
    return json::parse(*line);
  }

  void session() {
    (void)call(1, "initialize",
               {{"protocolVersion", "2025-06-18"},
                {"capabilities", json::object()},
                {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
    (void)call(2, "tools/call", {{"name", "list_windows"}});
    (void)call(3, "tools/call", {{"name", "capture_window"}, {"arguments", {{"windowId", "W"}}}});
    const json click =
        call(4, "tools/call",
             {{"name", "click"}, {"arguments", {{"captureId", "C"}, {"x", 1}, {"y", 2}}}});
    EXPECT_FALSE(click["result"].value("isError", false)) << click.dump();
  }

  [[nodiscard]] pid_t kexComputerPid() const {
    std::ifstream log(dir_ + "/computer.log");
    for (std::string line; std::getline(log, line);) {
      if (line.starts_with("pid ")) return std::stoi(line.substr(4));
    }
    return -1;
  }

  std::string dir_;
  std::unique_ptr<ChildProcess> server_;
  std::vector<std::string> lines_;
};

TEST_F(KexMcpProcess, OutputCarriesOnlyProtocolWhateverItsChildrenPrint) {
  start();
  session();
  server_->closeStdin();
  const harness::Ending ending = server_->finish(deadlineIn(20s));
  EXPECT_EQ(ending.output, "") << "written after the last answer";
  EXPECT_EQ(ending.exitStatus, 0);
  ASSERT_EQ(lines_.size(), 4u);
  for (const auto& line : lines_) {
    const json message = json::parse(line, nullptr, false);
    ASSERT_TRUE(message.is_object()) << line;
    EXPECT_EQ(message["jsonrpc"], "2.0") << line;
  }
}

TEST_F(KexMcpProcess, EndOfInputEndsItAndItsKexComputer) {
  start();
  session();
  const pid_t computer = kexComputerPid();
  ASSERT_GT(computer, 0);
  server_->closeStdin();
  EXPECT_EQ(server_->waitExit(deadlineIn(20s)), 0);
  EXPECT_NE(::kill(computer, 0), 0) << "kex-computer outlived kex-mcp";
}

TEST_F(KexMcpProcess, TerminationSignalEndsItAndItsKexComputer) {
  for (const int signo : {SIGTERM, SIGINT, SIGHUP}) {
    std::filesystem::remove(dir_ + "/computer.log");
    lines_.clear();
    start();
    session();
    const pid_t computer = kexComputerPid();
    ASSERT_GT(computer, 0);
    ASSERT_TRUE(server_->signal(signo));
    EXPECT_EQ(server_->waitExit(deadlineIn(20s)), 0) << "signal " << signo;
    EXPECT_NE(::kill(computer, 0), 0) << "kex-computer outlived kex-mcp, signal " << signo;
  }
}

TEST_F(KexMcpProcess, HelpExplainsConfigurationThePrivateDesktopAndThePerson) {
  const auto help = harness::runTool({KEX_MCP_PATH, "--help"}, {}, deadlineIn(10s));
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* topic :
       {"\"command\"", "--private-desktop", "Approve this request in Kex", "keyboard or mouse"}) {
    EXPECT_NE(help.output.find(topic), std::string::npos) << topic;
  }
  const auto wrong = harness::runTool({KEX_MCP_PATH, "--frobnicate"}, {}, deadlineIn(10s));
  EXPECT_EQ(wrong.exitStatus, 2);
  EXPECT_EQ(wrong.output, "");
}

}  // namespace
}  // namespace kex::mcp::test
