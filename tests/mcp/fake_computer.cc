// A stand-in for kex-computer that answers from a script, for the tests of kex-mcp's own logic:
// control does not exist on every kex-computer, and the interruptions, stop reasons, crashes and
// hangs that kex-mcp must handle cannot be summoned on demand from the real one.
//
// Environment: KEX_FAKE_SCRIPT names a JSON file, read again whenever it changed so a test can
// change it between calls; KEX_FAKE_LOG names a file that gets "start" and "pid <pid>" when a
// child starts, and "request <line>" for every request line.
//
// Script: {"topology": "T1", "controlReady": true, "rules": [RULE...]}. A request whose
// sessionId is not "SESSION-<n>" (n counts the children started) or whose topologyRevision is
// not the script's topology is answered "topology_changed", as kex-computer does. Otherwise the
// first rule whose "op" names the operation and whose optional "child" (n) and "nth" (the how
// many-th request of that operation in this child, from 1) match decides:
//   {"reply": {...}}  answered as it is, with the request's id added;
//   {"exit": N}       the child exits with status N without answering;
//   {"hang": true}    the child never answers;
//   {"garbage": "x"}  the line x is written instead of a response.
// "status" has a built-in answer; other operations without a rule get "capability_unavailable".
// "computer.capture" can also be answered by target: {"captures": {TARGET: REPLY...},
// "defaultCapture": REPLY}, for replaying real captures.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

namespace {

using nlohmann::json;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void log(const std::string& text) {
  std::ofstream(environment("KEX_FAKE_LOG"), std::ios::app) << text << '\n';
}

int childNumber() {
  std::ifstream file(environment("KEX_FAKE_LOG"));
  int starts = 0;
  for (std::string line; std::getline(file, line);) starts += line == "start" ? 1 : 0;
  return starts;
}

// The script, read again only when the file changed, so that replaying large captures costs
// no more than answering small requests.
const json& script() {
  static json cached = json::object();
  static struct timespec cachedTime {};
  static off_t cachedSize = -1;
  struct stat info {};
  const std::string path = environment("KEX_FAKE_SCRIPT");
  if (::stat(path.c_str(), &info) != 0) return cached;
  if (info.st_mtim.tv_sec == cachedTime.tv_sec && info.st_mtim.tv_nsec == cachedTime.tv_nsec &&
      info.st_size == cachedSize) {
    return cached;
  }
  std::ifstream file(path);
  json value = json::parse(file, nullptr, false);
  cached = value.is_object() ? value : json::object();
  cachedTime = info.st_mtim;
  cachedSize = info.st_size;
  return cached;
}

const json* captureByTarget(const json& plan, const std::string& targetId) {
  const auto captures = plan.find("captures");
  if (captures != plan.end() && captures->contains(targetId)) return &(*captures)[targetId];
  const auto fallback = plan.find("defaultCapture");
  return fallback == plan.end() ? nullptr : &*fallback;
}

void answer(const json& response) { std::cout << response.dump() << '\n' << std::flush; }

json statusResult(const json& plan, int child) {
  return {{"sessionId", "SESSION-" + std::to_string(child)},
          {"topologyRevision", plan.value("topology", "T1")},
          {"sessionState", plan.value("sessionState", "active")},
          {"controlReady", plan.value("controlReady", true)},
          {"backend", "fake"},
          {"permissions", {{"capture", true}, {"accessibility", true}, {"input", true}}},
          {"operations", json::array()},
          {"limitations", json::array()}};
}

const json* findRule(const json& plan, const std::string& operation, int child, int nth) {
  const auto rules = plan.find("rules");
  if (rules == plan.end() || !rules->is_array()) return nullptr;
  for (const auto& rule : *rules) {
    if (rule.value("op", "") != operation) continue;
    if (rule.contains("child") && rule["child"] != child) continue;
    if (rule.contains("nth") && rule["nth"] != nth) continue;
    return &rule;
  }
  return nullptr;
}

}  // namespace

int main() {
  log("start");
  log("pid " + std::to_string(::getpid()));
  const int child = childNumber();
  std::map<std::string, int> counts;
  for (std::string line; std::getline(std::cin, line);) {
    log("request " + line);
    const json request = json::parse(line, nullptr, false);
    const std::string id = request.value("id", "invalid");
    const std::string operation = request.value("operation", "");
    const json args = request.value("args", json::object());
    const json& plan = script();
    const int nth = ++counts[operation];
    if (operation == "status") {
      if (const json* rule = findRule(plan, operation, child, nth);
          rule && rule->contains("exit")) {
        return rule->at("exit").get<int>();
      }
      answer({{"id", id}, {"ok", true}, {"result", statusResult(plan, child)}});
      continue;
    }
    const bool fresh = args.value("sessionId", "") == "SESSION-" + std::to_string(child) &&
                       args.value("topologyRevision", "") == plan.value("topology", "T1");
    if (!fresh) {
      answer({{"id", id}, {"ok", false}, {"error", "topology_changed"}, {"dispatched", true}});
      continue;
    }
    if (operation == "computer.capture") {
      if (const json* capture = captureByTarget(plan, args.value("targetId", ""))) {
        json response = *capture;
        response["id"] = id;
        answer(response);
        continue;
      }
    }
    const json* rule = findRule(plan, operation, child, nth);
    if (!rule) {
      answer(
          {{"id", id}, {"ok", false}, {"error", "capability_unavailable"}, {"dispatched", true}});
      continue;
    }
    if (rule->contains("exit")) return rule->at("exit").get<int>();
    if (rule->value("hang", false)) {
      for (;;) ::pause();
    }
    if (rule->contains("garbage")) {
      std::cout << rule->at("garbage").get<std::string>() << '\n' << std::flush;
      continue;
    }
    json response = rule->at("reply");
    response["id"] = id;
    answer(response);
  }
  return 0;
}
