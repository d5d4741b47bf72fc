#include "platform/linux/x11/window_probe.h"

#include <algorithm>
#include <span>
#include <string_view>

namespace kex::platform::x11 {
namespace {

using PropertyReply = Reply<xcb_get_property_reply_t>;

// Property lengths are in 32-bit units. Titles beyond 16 KiB are cut; the logic shortens them
// far more anyway, and the cut falls in the same place on every reading.
constexpr std::uint32_t kTitleUnits = 4096;
constexpr std::uint32_t kClassUnits = 256;
constexpr std::uint32_t kAtomListUnits = 64;
constexpr std::uint32_t kExtentsUnits = 4;
constexpr std::uint32_t kWmStateUnits = 2;

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name,
                                      xcb_atom_t type, std::uint32_t units) {
  return xcb_get_property(c, 0, window, name, type, 0, units);
}

// A property that is absent comes back with type None.
bool present(const PropertyReply& reply) {
  return reply != nullptr && reply->type != XCB_ATOM_NONE;
}

std::span<const std::uint32_t> values32(const PropertyReply& reply) {
  if (!present(reply) || reply->format != 32) {
    return {};
  }
  const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4;
  return {data, count};
}

std::string_view bytes8(const PropertyReply& reply) {
  if (!present(reply) || reply->format != 8) {
    return {};
  }
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  return {data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get()))};
}

void appendCodePoint(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The length of the well-formed UTF-8 sequence at the start of text, or 0.
std::size_t sequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  std::uint32_t minimum = 0;
  if (lead < 0x80) {
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  std::uint32_t code = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    code = (code << 6) | (next & 0x3F);
  }
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  return code < minimum || code > 0x10FFFF || surrogate ? 0 : length;
}

// Titles reach JSON and are compared byte for byte between readings: every malformed byte
// becomes U+FFFD, the same way each time.
std::string wellFormedUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = sequenceLength(text);
    if (length == 0) {
      appendCodePoint(out, 0xFFFD);
      text.remove_prefix(1);
      continue;
    }
    out.append(text.substr(0, length));
    text.remove_prefix(length);
  }
  return out;
}

std::string latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    appendCodePoint(out, static_cast<unsigned char>(c));
  }
  return out;
}

// Some clients count the terminating NUL into the property.
std::string_view withoutTrailingNuls(std::string_view text) {
  while (!text.empty() && text.back() == '\0') {
    text.remove_suffix(1);
  }
  return text;
}

// _NET_WM_NAME is UTF-8 by definition; WM_NAME is Latin-1 unless its type says UTF-8.
std::optional<std::string> titleFrom(const PropertyReply& netWmName, const PropertyReply& wmName,
                                     const WindowAtoms& atoms) {
  const std::string_view modern = withoutTrailingNuls(bytes8(netWmName));
  if (!modern.empty()) {
    return wellFormedUtf8(modern);
  }
  if (!present(wmName) || wmName->format != 8) {
    return std::nullopt;
  }
  const std::string_view legacy = withoutTrailingNuls(bytes8(wmName));
  if (wmName->type == atoms.utf8String) {
    return wellFormedUtf8(legacy);
  }
  return latin1ToUtf8(legacy);
}

bool isOrdinaryType(xcb_atom_t type, const WindowAtoms& atoms) {
  return type == atoms.typeNormal || type == atoms.typeDialog || type == atoms.typeUtility;
}

bool isSpecialType(xcb_atom_t type, const WindowAtoms& atoms) {
  const xcb_atom_t special[] = {atoms.typeDesktop,   atoms.typeDock,    atoms.typeToolbar,
                                atoms.typeMenu,      atoms.typeSplash,  atoms.typeDropdownMenu,
                                atoms.typePopupMenu, atoms.typeTooltip, atoms.typeNotification,
                                atoms.typeCombo,     atoms.typeDnd};
  return std::find(std::begin(special), std::end(special), type) != std::end(special);
}

// The types are listed most preferred first, and may include vendor types we do not know;
// the first known one decides. A window without a known type is an ordinary one.
std::int64_t layerFrom(const PropertyReply& windowType, const WindowAtoms& atoms) {
  for (const std::uint32_t type : values32(windowType)) {
    if (isOrdinaryType(type, atoms)) {
      return 0;
    }
    if (isSpecialType(type, atoms)) {
      return 1;
    }
  }
  return 0;
}

bool hasAtom(const PropertyReply& list, xcb_atom_t atom) {
  const auto atoms = values32(list);
  return std::find(atoms.begin(), atoms.end(), atom) != atoms.end();
}

// WM_CLASS holds the instance name and then the class name, each ending with a NUL.
std::optional<std::string> classFrom(const PropertyReply& wmClass) {
  const std::string_view both = bytes8(wmClass);
  const std::size_t split = both.find('\0');
  if (split == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view className = withoutTrailingNuls(both.substr(split + 1));
  if (className.empty()) {
    return std::nullopt;
  }
  return latin1ToUtf8(className);
}

struct FrameExtents {
  double left = 0;
  double right = 0;
  double top = 0;
  double bottom = 0;
};

FrameExtents extentsFrom(const PropertyReply& reply) {
  const auto values = values32(reply);
  if (values.size() < 4) {
    return {};
  }
  return {double(values[0]), double(values[1]), double(values[2]), double(values[3])};
}

}  // namespace

std::optional<xcb_res_query_client_ids_cookie_t> askClientPid(const Connection& connection,
                                                              xcb_window_t window) {
  if (!connection.hasClientPids()) {
    return std::nullopt;
  }
  const xcb_res_client_id_spec_t wanted{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
  return xcb_res_query_client_ids(connection.get(), 1, &wanted);
}

std::optional<std::int32_t> clientPidFrom(const Connection& connection,
                                          std::optional<xcb_res_query_client_ids_cookie_t> cookie) {
  if (!cookie) {
    return std::nullopt;
  }
  auto ids =
      connection.reply<xcb_res_query_client_ids_reply_t>(*cookie, xcb_res_query_client_ids_reply);
  if (!ids) {
    return std::nullopt;
  }
  for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
       xcb_res_client_id_value_next(&it)) {
    // Each value begins with the client id it answers.
    const auto* answered = reinterpret_cast<const xcb_res_client_id_spec_t*>(it.data);
    const bool isPid = (answered->mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0;
    if (isPid && xcb_res_client_id_value_value_length(it.data) >= 1) {
      const auto pid = static_cast<std::int32_t>(*xcb_res_client_id_value_value(it.data));
      if (pid > 0) {
        return pid;
      }
    }
  }
  return std::nullopt;
}

WindowProbe::WindowProbe(const Connection& connection, const WindowAtoms& atoms,
                         xcb_window_t window)
    : connection_(&connection), atoms_(&atoms) {
  xcb_connection_t* c = connection.get();
  attributes_ = xcb_get_window_attributes(c, window);
  geometry_ = xcb_get_geometry(c, window);
  origin_ = xcb_translate_coordinates(c, window, connection.root(), 0, 0);
  tree_ = xcb_query_tree(c, window);
  wmState_ = askProperty(c, window, atoms.wmState, XCB_GET_PROPERTY_TYPE_ANY, kWmStateUnits);
  frameExtents_ = askProperty(c, window, atoms.netFrameExtents, XCB_ATOM_CARDINAL, kExtentsUnits);
  netWmName_ = askProperty(c, window, atoms.netWmName, atoms.utf8String, kTitleUnits);
  wmName_ = askProperty(c, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, kTitleUnits);
  netWmState_ = askProperty(c, window, atoms.netWmState, XCB_ATOM_ATOM, kAtomListUnits);
  windowType_ = askProperty(c, window, atoms.netWmWindowType, XCB_ATOM_ATOM, kAtomListUnits);
  wmClass_ = askProperty(c, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, kClassUnits);
  pid_ = askClientPid(connection, window);
}

WindowFacts WindowProbe::collect() {
  const Connection& connection = *connection_;
  const auto property = [&connection](xcb_get_property_cookie_t cookie) {
    return connection.reply<xcb_get_property_reply_t>(cookie, xcb_get_property_reply);
  };
  const auto attributes = connection.reply<xcb_get_window_attributes_reply_t>(
      attributes_, xcb_get_window_attributes_reply);
  const auto geometry =
      connection.reply<xcb_get_geometry_reply_t>(geometry_, xcb_get_geometry_reply);
  const auto origin =
      connection.reply<xcb_translate_coordinates_reply_t>(origin_, xcb_translate_coordinates_reply);
  const auto tree = connection.reply<xcb_query_tree_reply_t>(tree_, xcb_query_tree_reply);
  const PropertyReply wmState = property(wmState_);
  const PropertyReply frameExtents = property(frameExtents_);
  const PropertyReply netWmName = property(netWmName_);
  const PropertyReply wmName = property(wmName_);
  const PropertyReply netWmState = property(netWmState_);
  const PropertyReply windowType = property(windowType_);
  const PropertyReply wmClass = property(wmClass_);
  const std::optional<std::int32_t> pid = clientPidFrom(connection, pid_);

  WindowFacts facts;
  if (!attributes || !geometry || !origin || !tree) {
    return facts;
  }
  facts.exists = true;
  facts.managed = present(wmState);
  facts.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  facts.hidden = hasAtom(netWmState, atoms_->netWmStateHidden);
  // The server destroys a window manager's frames when it goes and puts their clients back on
  // the root window; a client below another window is framed by a running window manager.
  facts.clientArea = Rect{double(origin->dst_x), double(origin->dst_y), double(geometry->width),
                          double(geometry->height)};
  const bool framed = tree->parent != connection.root();
  const FrameExtents extents = framed ? extentsFrom(frameExtents) : FrameExtents{};
  facts.frame = Rect{double(origin->dst_x) - extents.left, double(origin->dst_y) - extents.top,
                     double(geometry->width) + extents.left + extents.right,
                     double(geometry->height) + extents.top + extents.bottom};
  facts.title = titleFrom(netWmName, wmName, *atoms_);
  facts.layer = layerFrom(windowType, *atoms_);
  facts.applicationClass = classFrom(wmClass);
  facts.pid = pid;
  return facts;
}

}  // namespace kex::platform::x11
