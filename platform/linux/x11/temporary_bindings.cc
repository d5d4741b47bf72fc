#include "platform/linux/x11/temporary_bindings.h"

#include <algorithm>
#include <set>

namespace kex::platform::x11 {
namespace {

// The keysyms a keycode produces, whatever their columns: an XKB server shows a binding of the
// first two columns in the columns of its other groups too.
template <typename Iterator>
std::set<xcb_keysym_t> keysymsOf(Iterator begin, Iterator end) {
  std::set<xcb_keysym_t> keysyms(begin, end);
  keysyms.erase(XCB_NO_SYMBOL);
  return keysyms;
}

}  // namespace

std::vector<std::uint32_t> bindingValues(const std::vector<TemporaryBinding>& bindings) {
  std::vector<std::uint32_t> values;
  for (const TemporaryBinding& binding : bindings) {
    values.push_back(binding.keycode);
    values.push_back(static_cast<std::uint32_t>(binding.bound.size()));
    values.insert(values.end(), binding.bound.begin(), binding.bound.end());
    values.insert(values.end(), binding.original.begin(), binding.original.end());
  }
  return values;
}

std::vector<TemporaryBinding> listedBindings(std::span<const std::uint32_t> values) {
  std::vector<TemporaryBinding> listed;
  std::size_t at = 0;
  while (values.size() - at >= 2) {
    const std::uint32_t keycode = values[at];
    const std::uint32_t columns = values[at + 1];
    if (keycode > 255 || columns == 0 || columns > 255) break;
    if ((values.size() - at - 2) / 2 < columns) break;
    const auto bound = values.begin() + static_cast<std::ptrdiff_t>(at + 2);
    const auto original = bound + columns;
    listed.push_back(
        {static_cast<xcb_keycode_t>(keycode), {bound, original}, {original, original + columns}});
    at += 2 + 2 * static_cast<std::size_t>(columns);
  }
  return listed;
}

std::vector<TemporaryBinding> bindingsInPlace(const CoreKeymap& keymap,
                                              const std::vector<TemporaryBinding>& listed) {
  std::vector<TemporaryBinding> inPlace;
  for (const TemporaryBinding& binding : listed) {
    if (binding.keycode < keymap.first) continue;
    const std::size_t index = binding.keycode - keymap.first;
    if (index >= keymap.keycodeCount()) continue;
    const auto shown =
        keymap.keysyms.begin() + static_cast<std::ptrdiff_t>(index * keymap.perKeycode);
    if (keysymsOf(shown, shown + keymap.perKeycode) !=
        keysymsOf(binding.bound.begin(), binding.bound.end())) {
      continue;
    }
    const bool already = std::any_of(inPlace.begin(), inPlace.end(), [&](const auto& other) {
      return other.keycode == binding.keycode;
    });
    if (!already) inPlace.push_back(binding);
  }
  return inPlace;
}

}  // namespace kex::platform::x11
