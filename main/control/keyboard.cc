#include "main/control/keyboard.h"

#include "main/common/failure.h"
#include "main/control/key_table.h"
#include "main/control/release_at_end.h"
#include "main/control/text_chunks.h"

namespace kex {
namespace {

using platform::Event;
using platform::EventType;

// Text events carry this key code; the text decides what they type.
constexpr std::uint16_t kTextKeyCode = 0;

// The flags of the named modifiers. A value that is not an array of strings counts as no
// modifiers; a string outside the table is refused.
std::uint64_t flagsOf(const Json& args) {
  const auto found = args.find("modifiers");
  if (found == args.end() || !found->is_array()) return 0;
  for (const auto& name : *found) {
    if (!name.is_string()) return 0;
  }
  std::uint64_t flags = 0;
  for (const auto& name : *found) {
    const auto flag = modifierFlagNamed(name.get_ref<const std::string&>());
    if (!flag) throw Failure(codes::invalidArguments);
    flags |= *flag;
  }
  return flags;
}

std::string stringArgument(const Json& args, const char* key) {
  const auto found = args.find(key);
  if (found == args.end() || !found->is_string()) return {};
  return found->get<std::string>();
}

const Json kUnverified = {{"verified", false}};

}  // namespace

Json Keyboard::type(const Json& args) {
  const InputTarget target = guards_.inputTarget(args);
  guards_.requireSafeKeyboardFocus(target.window);
  const std::uint64_t flags = flagsOf(args);
  const std::string text = stringArgument(args, "text");
  if (text.empty()) {
    const auto code = keyCodeNamed(stringArgument(args, "key"));
    if (!code) throw Failure(codes::invalidArguments);
    postKey(*code, flags);
    return kUnverified;
  }
  const auto units = utf16Of(text);
  if (!units || units->size() > kMaxTextUnits) throw Failure(codes::invalidArguments);
  // Text goes out without modifiers: a held command key would turn letters into shortcuts.
  // The window and its keyboard focus were proved a moment ago, with nothing posted since, for
  // the first chunk; every later one is proved again after the chunk before it.
  bool proved = true;
  for (const auto& chunk : textChunks(*units)) {
    if (!proved) {
      const InputTarget current = guards_.inputTarget(args);
      guards_.requireSafeKeyboardFocus(current.window);
    }
    postKey(kTextKeyCode, 0, chunk);
    proved = false;
  }
  return kUnverified;
}

void Keyboard::postKey(std::uint16_t code, std::uint64_t flags, const std::u16string& text) {
  Event down;
  down.type = EventType::keyDown;
  down.keyCode = code;
  down.flags = flags;
  down.text = text;
  Event up = down;
  up.type = EventType::keyUp;
  const ReleaseAtEnd release(safety_);
  safety_.post(down, up, code);
}

}  // namespace kex
