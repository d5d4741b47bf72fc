// kex-test-app: a GTK 3 window whose every event is reported as one line on standard output,
// so that end-to-end tests can see what reached the application.
//
// Lines: "ready <xid>", "configure <x> <y> <w> <h>", "focus-in", "focus-out",
// "key <keyval-name>[ shift][ control][ alt][ super]", "button <n> <x> <y>",
// "release <n> <x> <y>", "motion <x> <y>" (only while a button is down), "scroll <up|down|left|
// right> <x> <y>", "clicked <button-label>", "text <entry-text>", "secret <password-entry-text>".
// Pointer positions are in the window's own coordinates, decorations excluded; every motion is
// reported as the X server sent it, none merged with the next.
//
// --undecorated asks the window manager for no decorations, so that the window's frame is its
// own area. --popup makes an override-redirect window (as menus and tooltips are) at --position,
// outside the window manager's care. --count-clicks renames a button for accessibility after
// each click, "<label> <clicks>", so that a tree read afterwards shows the click. --above keeps
// the window above every ordinary window, even the active one.
//
// --tree adds a known accessibility tree below the usual widgets: a menu bar with two closed
// menus, a hidden button, a chain of nested boxes deeper than any tree description goes, with a
// label at its bottom, and a list of more labels than any description lists, all on screen; without
// --title the window then gets a title of 600 user-perceived characters, each an "e" with a
// combining acute accent.
//
// --bare leaves out every widget: the window shows nothing but its background colour, so that
// a test can predict every pixel of it.
//
// --slow-name MS adds a label named "Slow" that takes that many milliseconds each time its
// accessible name is read, as a busy application would: the main loop, and with it every
// accessibility reply, waits meanwhile.
//
// --stall-on-press MS blocks the main loop for that long after reporting each button press: a
// drag's next hit test then waits on the application, so that a test can act in the middle of it.
// --stall-on-key MS does the same after reporting each key press: the application then answers
// no ping for that long, so a typist keeps its temporary key bindings meanwhile.
//
// Runs entirely on the GTK main thread.
#include <X11/extensions/XInput2.h>
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk-a11y.h>
#include <gtk/gtk.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "tools/test_app/app_lines.h"

namespace {

using kex::test_app::isHexColor;
using kex::test_app::parsePair;
using kex::test_app::report;

struct AppOptions {
  std::string title = "kex test app";
  std::string color = "3366cc";
  std::string label = "kex test application";
  int width = 480;
  int height = 320;
  std::optional<std::pair<int, int>> position;
  bool tree = false;
  bool bare = false;
  int slowNameMilliseconds = 0;
  int stallOnPressMilliseconds = 0;
  int stallOnKeyMilliseconds = 0;
  bool undecorated = false;
  bool popup = false;
  bool countClicks = false;
  bool above = false;
};

constexpr int kTreeNestingDepth = 15;
constexpr int kTreeListLength = 300;
constexpr int kTreeListColumns = 25;
constexpr int kTreeListCellWidth = 30;
constexpr int kTreeListCellHeight = 20;
constexpr int kTreeTitleCharacters = 600;

struct AppState {
  GtkWidget* window = nullptr;
  bool mapped = false;
  bool readyReported = false;
};

// Every report is one whole line, flushed at once, so a reader never sees half of one.
[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "kex-test-app: %s\n"
               "usage: kex-test-app [--title TEXT] [--color RRGGBB] [--size WxH] "
               "[--position X,Y] [--label TEXT] [--tree] [--bare] [--slow-name MS] "
               "[--stall-on-press MS] [--stall-on-key MS] "
               "[--undecorated] [--popup] [--count-clicks] [--above]\n",
               problem);
  std::exit(2);
}

AppOptions parseOptions(int argc, char** argv) {
  AppOptions options;
  bool titled = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--tree") {
      options.tree = true;
      continue;
    }
    if (flag == "--bare") {
      options.bare = true;
      continue;
    }
    if (flag == "--undecorated") {
      options.undecorated = true;
      continue;
    }
    if (flag == "--popup") {
      options.popup = true;
      continue;
    }
    if (flag == "--count-clicks") {
      options.countClicks = true;
      continue;
    }
    if (flag == "--above") {
      options.above = true;
      continue;
    }
    if (i + 1 >= argc) usage("this option takes a value");
    const char* value = argv[++i];
    if (flag == "--title") {
      options.title = value;
      titled = true;
    } else if (flag == "--label") {
      options.label = value;
    } else if (flag == "--color") {
      if (!isHexColor(value)) usage("--color wants six hex digits");
      options.color = value;
    } else if (flag == "--size") {
      if (!parsePair(value, 'x', options.width, options.height) || options.width <= 0 ||
          options.height <= 0) {
        usage("--size wants WxH");
      }
    } else if (flag == "--position") {
      int x = 0;
      int y = 0;
      if (!parsePair(value, ',', x, y)) usage("--position wants X,Y");
      options.position = std::make_pair(x, y);
    } else if (flag == "--slow-name") {
      char* end = nullptr;
      const long milliseconds = std::strtol(value, &end, 10);
      if (end == value || *end != '\0' || milliseconds < 0) usage("--slow-name wants milliseconds");
      options.slowNameMilliseconds = static_cast<int>(milliseconds);
    } else if (flag == "--stall-on-press") {
      char* end = nullptr;
      const long milliseconds = std::strtol(value, &end, 10);
      if (end == value || *end != '\0' || milliseconds < 0) {
        usage("--stall-on-press wants milliseconds");
      }
      options.stallOnPressMilliseconds = static_cast<int>(milliseconds);
    } else if (flag == "--stall-on-key") {
      char* end = nullptr;
      const long milliseconds = std::strtol(value, &end, 10);
      if (end == value || *end != '\0' || milliseconds < 0) {
        usage("--stall-on-key wants milliseconds");
      }
      options.stallOnKeyMilliseconds = static_cast<int>(milliseconds);
    } else {
      usage("unknown option");
    }
  }
  if (options.tree && !titled) {
    options.title.clear();
    for (int i = 0; i < kTreeTitleCharacters; ++i) options.title += "e\u0301";
  }
  return options;
}

void applyBackground(GtkWidget* window, const std::string& color) {
  const std::string css = "window.kex-test-app { background-color: #" + color + "; }";
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider_for_screen(gtk_widget_get_screen(window),
                                            GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
  gtk_style_context_add_class(gtk_widget_get_style_context(window), "kex-test-app");
}

void nameForAccessibility(GtkWidget* widget, const char* name) {
  gtk_widget_set_name(widget, name);
  atk_object_set_name(gtk_widget_get_accessible(widget), name);
}

// --- a slow accessible name ---------------------------------------------------------------

int slowNameMilliseconds = 0;

struct SlowLabelAccessible {
  GtkLabelAccessible parent;
};
struct SlowLabelAccessibleClass {
  GtkLabelAccessibleClass parentClass;
};
G_DEFINE_TYPE(SlowLabelAccessible, slow_label_accessible, GTK_TYPE_LABEL_ACCESSIBLE)

// Blocks the main loop, and with it every accessibility reply, while the name is read.
const gchar* slowName(AtkObject* accessible) {
  g_usleep(static_cast<gulong>(slowNameMilliseconds) * 1000);
  return ATK_OBJECT_CLASS(slow_label_accessible_parent_class)->get_name(accessible);
}

void slow_label_accessible_class_init(SlowLabelAccessibleClass* klass) {
  ATK_OBJECT_CLASS(klass)->get_name = slowName;
}

void slow_label_accessible_init(SlowLabelAccessible*) {}

struct SlowLabel {
  GtkLabel parent;
};
struct SlowLabelClass {
  GtkLabelClass parentClass;
};
G_DEFINE_TYPE(SlowLabel, slow_label, GTK_TYPE_LABEL)

void slow_label_class_init(SlowLabelClass* klass) {
  gtk_widget_class_set_accessible_type(GTK_WIDGET_CLASS(klass), slow_label_accessible_get_type());
}

void slow_label_init(SlowLabel*) {}

// --- event reports ------------------------------------------------------------------------

gboolean reportReady(gpointer data) {
  auto* state = static_cast<AppState*>(data);
  const auto xid = GDK_WINDOW_XID(gtk_widget_get_window(state->window));
  report("ready %lu", static_cast<unsigned long>(xid));
  return G_SOURCE_REMOVE;
}

gboolean onMap(GtkWidget* widget, GdkEvent*, gpointer data) {
  static_cast<AppState*>(data)->mapped = true;
  // GTK may paint a shown window before the server has mapped it, and then never again: ask for
  // a paint after the map, so that "ready" always comes.
  gtk_widget_queue_draw(widget);
  return FALSE;
}

// "ready" waits for the first paint after mapping, so whoever reads it may look at the pixels.
gboolean onDrawn(GtkWidget*, cairo_t*, gpointer data) {
  auto* state = static_cast<AppState*>(data);
  if (!state->mapped || state->readyReported) return FALSE;
  state->readyReported = true;
  g_idle_add(reportReady, state);
  return FALSE;
}

gboolean onConfigure(GtkWidget*, GdkEventConfigure* event, gpointer) {
  report("configure %d %d %d %d", event->x, event->y, event->width, event->height);
  return FALSE;
}

gboolean onFocusIn(GtkWidget*, GdkEventFocus*, gpointer) {
  report("focus-in");
  return FALSE;
}

gboolean onFocusOut(GtkWidget*, GdkEventFocus*, gpointer) {
  report("focus-out");
  return FALSE;
}

int stallOnKeyMilliseconds = 0;

gboolean onKeyPress(GtkWidget*, GdkEventKey* event, gpointer) {
  const char* name = gdk_keyval_name(event->keyval);
  std::string modifiers;
  if (event->state & GDK_SHIFT_MASK) modifiers += " shift";
  if (event->state & GDK_CONTROL_MASK) modifiers += " control";
  if (event->state & GDK_MOD1_MASK) modifiers += " alt";
  if (event->state & (GDK_SUPER_MASK | GDK_MOD4_MASK)) modifiers += " super";
  report("key %s%s", name ? name : "unknown", modifiers.c_str());
  g_usleep(static_cast<gulong>(stallOnKeyMilliseconds) * 1000);
  return FALSE;
}

int stallOnPressMilliseconds = 0;

void onPressed(GtkGestureMultiPress* gesture, gint, gdouble x, gdouble y, gpointer) {
  const guint button = gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture));
  report("button %u %d %d", button, static_cast<int>(x), static_cast<int>(y));
  g_usleep(static_cast<gulong>(stallOnPressMilliseconds) * 1000);
}

// A position relative to the top-level window, from the event's position on the screen: the
// event may belong to a widget's own window inside it.
std::pair<int, int> windowPoint(GdkWindow* eventWindow, double rootX, double rootY) {
  int originX = 0;
  int originY = 0;
  gdk_window_get_origin(gdk_window_get_toplevel(eventWindow), &originX, &originY);
  return {static_cast<int>(rootX) - originX, static_cast<int>(rootY) - originY};
}

const char* scrollDirection(GdkScrollDirection direction) {
  switch (direction) {
    case GDK_SCROLL_UP:
      return "up";
    case GDK_SCROLL_DOWN:
      return "down";
    case GDK_SCROLL_LEFT:
      return "left";
    case GDK_SCROLL_RIGHT:
      return "right";
    default:
      return nullptr;
  }
}

// The X input extension's motion events, read before GDK sees them: GDK merges motions and,
// for widgets that ask for motion hints, reports where the pointer is when it gets round to an
// event rather than where the event happened.
struct MotionWatch {
  int opcode = -1;
  GdkWindow* toplevel = nullptr;
};

GdkFilterReturn reportMotion(GdkXEvent* native, GdkEvent*, gpointer data) {
  auto* watch = static_cast<MotionWatch*>(data);
  auto* xevent = static_cast<XEvent*>(native);
  if (xevent->type != GenericEvent || xevent->xcookie.extension != watch->opcode ||
      xevent->xcookie.evtype != XI_Motion || xevent->xcookie.data == nullptr ||
      watch->toplevel == nullptr) {
    return GDK_FILTER_CONTINUE;
  }
  const auto* motion = static_cast<const XIDeviceEvent*>(xevent->xcookie.data);
  const int bytes = motion->buttons.mask_len;
  const bool held =
      (bytes > 0 && (XIMaskIsSet(motion->buttons.mask, 1) || XIMaskIsSet(motion->buttons.mask, 2) ||
                     XIMaskIsSet(motion->buttons.mask, 3)));
  if (!held) return GDK_FILTER_CONTINUE;
  int originX = 0;
  int originY = 0;
  gdk_window_get_origin(watch->toplevel, &originX, &originY);
  report("motion %d %d", static_cast<int>(motion->root_x) - originX,
         static_cast<int>(motion->root_y) - originY);
  return GDK_FILTER_CONTINUE;
}

// Sees every event before GTK hands it to a widget, so that a widget that takes a release or a
// motion keeps none of them from the report.
void reportThenHandle(GdkEvent* event, gpointer) {
  switch (event->type) {
    case GDK_BUTTON_RELEASE: {
      const auto [x, y] =
          windowPoint(event->button.window, event->button.x_root, event->button.y_root);
      report("release %u %d %d", event->button.button, x, y);
      break;
    }
    case GDK_SCROLL:
      if (const char* direction = scrollDirection(event->scroll.direction)) {
        const auto [x, y] =
            windowPoint(event->scroll.window, event->scroll.x_root, event->scroll.y_root);
        report("scroll %s %d %d", direction, x, y);
      }
      break;
    default:
      break;
  }
  gtk_main_do_event(event);
}

void onClicked(GtkButton* button, gpointer countClicks) {
  const char* label = gtk_button_get_label(button);
  report("clicked %s", label);
  if (countClicks == nullptr) return;
  auto* clicks = static_cast<int*>(g_object_get_data(G_OBJECT(button), "kex-clicks"));
  const std::string name = std::string(label) + " " + std::to_string(++*clicks);
  atk_object_set_name(gtk_widget_get_accessible(GTK_WIDGET(button)), name.c_str());
}

void onTextChanged(GtkEditable* editable, gpointer tag) {
  report("%s %s", static_cast<const char*>(tag), gtk_entry_get_text(GTK_ENTRY(editable)));
}

gboolean onTerminate(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

// --- widgets ------------------------------------------------------------------------------

GtkWidget* makeEntry(const char* name, bool secret) {
  GtkWidget* entry = gtk_entry_new();
  nameForAccessibility(entry, name);
  gtk_entry_set_visibility(GTK_ENTRY(entry), secret ? FALSE : TRUE);
  g_signal_connect(entry, "changed", G_CALLBACK(onTextChanged),
                   const_cast<char*>(secret ? "secret" : "text"));
  return entry;
}

GtkWidget* makeButton(const char* label, bool countClicks) {
  GtkWidget* button = gtk_button_new_with_label(label);
  nameForAccessibility(button, label);
  g_object_set_data_full(G_OBJECT(button), "kex-clicks", g_new0(int, 1), g_free);
  g_signal_connect(button, "clicked", G_CALLBACK(onClicked),
                   countClicks ? GINT_TO_POINTER(1) : nullptr);
  return button;
}

// Each box holds the next; the innermost holds a label named "Deepest".
GtkWidget* makeNestedBoxes(int depth) {
  GtkWidget* inner = gtk_label_new("deepest");
  nameForAccessibility(inner, "Deepest");
  for (int level = depth; level >= 1; --level) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    const std::string name = "Level " + std::to_string(level);
    nameForAccessibility(box, name.c_str());
    gtk_box_pack_start(GTK_BOX(box), inner, FALSE, FALSE, 0);
    inner = box;
  }
  return inner;
}

// The labels "Item 1" ... in one box, row by row, each showing only its number so that all of
// them are on screen (a label scrolled out of view is not showing). A fixed box lists its
// children in the order they were put in.
GtkWidget* makeLongList(int length) {
  GtkWidget* list = gtk_fixed_new();
  nameForAccessibility(list, "List");
  for (int i = 1; i <= length; ++i) {
    const std::string name = "Item " + std::to_string(i);
    GtkWidget* item = gtk_label_new(std::to_string(i).c_str());
    nameForAccessibility(item, name.c_str());
    const int index = i - 1;
    gtk_fixed_put(GTK_FIXED(list), item, (index % kTreeListColumns) * kTreeListCellWidth,
                  (index / kTreeListColumns) * kTreeListCellHeight);
  }
  return list;
}

GtkWidget* makeMenu(GtkWidget* bar, const char* title, std::initializer_list<const char*> items) {
  GtkWidget* menu = gtk_menu_new();
  for (const char* item : items) {
    GtkWidget* entry =
        item != nullptr ? gtk_menu_item_new_with_label(item) : gtk_separator_menu_item_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
  }
  GtkWidget* top = gtk_menu_item_new_with_label(title);
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(top), menu);
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), top);
  return top;
}

// Two menus that stay closed: their items exist for accessibility but are not showing.
GtkWidget* makeMenuBar() {
  GtkWidget* bar = gtk_menu_bar_new();
  makeMenu(bar, "File", {"New", "Open", nullptr, "Quit"});
  makeMenu(bar, "Edit", {"Cut", "Paste"});
  return bar;
}

GtkWidget* makeSlowLabel() {
  GtkWidget* label = GTK_WIDGET(g_object_new(slow_label_get_type(), "label", "slow", nullptr));
  nameForAccessibility(label, "Slow");
  return label;
}

GtkWidget* makeContent(const AppOptions& options) {
  GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(column), 12);
  if (options.tree) gtk_box_pack_start(GTK_BOX(column), makeMenuBar(), FALSE, FALSE, 0);

  GtkWidget* label = gtk_label_new(options.label.c_str());
  nameForAccessibility(label, "Label");
  gtk_box_pack_start(GTK_BOX(column), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(column), makeEntry("Text", false), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(column), makeEntry("Password", true), FALSE, FALSE, 0);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(row), makeButton("OK", options.countClicks), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), makeButton("Cancel", options.countClicks), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(column), row, FALSE, FALSE, 0);
  if (options.slowNameMilliseconds > 0) {
    gtk_box_pack_start(GTK_BOX(column), makeSlowLabel(), FALSE, FALSE, 0);
  }
  if (options.tree) {
    // Exists for accessibility, never shown.
    GtkWidget* hidden = makeButton("Hidden", false);
    gtk_widget_set_no_show_all(hidden, TRUE);
    gtk_box_pack_start(GTK_BOX(column), hidden, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(column), makeNestedBoxes(kTreeNestingDepth), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(column), makeLongList(kTreeListLength), TRUE, TRUE, 0);
  }
  return column;
}

// Sees every press in the window before any widget claims it, without claiming it itself.
void watchPresses(GtkWidget* window) {
  GtkGesture* presses = gtk_gesture_multi_press_new(window);
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(presses), 0);
  gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(presses), GTK_PHASE_CAPTURE);
  g_signal_connect(presses, "pressed", G_CALLBACK(onPressed), nullptr);
  // The window owns nothing of the gesture; tie its life to the window's.
  g_object_set_data_full(G_OBJECT(window), "kex-presses", presses, g_object_unref);
}

GtkWidget* makeWindow(const AppOptions& options, AppState& state) {
  GtkWidget* window = gtk_window_new(options.popup ? GTK_WINDOW_POPUP : GTK_WINDOW_TOPLEVEL);
  state.window = window;
  gtk_window_set_title(GTK_WINDOW(window), options.title.c_str());
  if (options.undecorated) gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  if (options.above) gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
  gtk_window_set_default_size(GTK_WINDOW(window), options.width, options.height);
  if (options.position) {
    gtk_window_move(GTK_WINDOW(window), options.position->first, options.position->second);
  }
  applyBackground(window, options.color);
  if (!options.bare) gtk_container_add(GTK_CONTAINER(window), makeContent(options));

  gtk_widget_add_events(window, GDK_STRUCTURE_MASK | GDK_FOCUS_CHANGE_MASK | GDK_KEY_PRESS_MASK |
                                    GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                    GDK_BUTTON_MOTION_MASK | GDK_SCROLL_MASK);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  g_signal_connect(window, "map-event", G_CALLBACK(onMap), &state);
  g_signal_connect_after(window, "draw", G_CALLBACK(onDrawn), &state);
  g_signal_connect(window, "configure-event", G_CALLBACK(onConfigure), nullptr);
  g_signal_connect(window, "focus-in-event", G_CALLBACK(onFocusIn), nullptr);
  g_signal_connect(window, "focus-out-event", G_CALLBACK(onFocusOut), nullptr);
  g_signal_connect(window, "key-press-event", G_CALLBACK(onKeyPress), nullptr);
  watchPresses(window);
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  gdk_set_allowed_backends("x11");
  // GTK takes its own options (--display ...) out of argv before ours are read.
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "kex-test-app: cannot open the display\n");
    return 1;
  }
  const AppOptions options = parseOptions(argc, argv);
  slowNameMilliseconds = options.slowNameMilliseconds;
  stallOnPressMilliseconds = options.stallOnPressMilliseconds;
  stallOnKeyMilliseconds = options.stallOnKeyMilliseconds;
  AppState state;
  gdk_event_handler_set(reportThenHandle, nullptr, nullptr);
  GtkWidget* window = makeWindow(options, state);
  static MotionWatch motions;
  int event = 0;
  int error = 0;
  XQueryExtension(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()), "XInputExtension",
                  &motions.opcode, &event, &error);
  gdk_window_add_filter(nullptr, reportMotion, &motions);
  g_unix_signal_add(SIGTERM, onTerminate, nullptr);
  g_unix_signal_add(SIGINT, onTerminate, nullptr);
  gtk_widget_show_all(window);
  motions.toplevel = gtk_widget_get_window(window);
  gtk_main();
  return 0;
}
