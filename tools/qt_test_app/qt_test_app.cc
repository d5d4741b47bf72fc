// kex-qt-test-app: the Qt 5 counterpart of kex-test-app. Its window holds the same widgets
// under the same accessible names, takes the same options and reports the same event lines, so
// that end-to-end tests can run against a toolkit whose accessible windows report their client
// area rather than the decorated frame.
//
// Lines: "ready <xid>", "configure <x> <y> <w> <h>", "focus-in", "focus-out",
// "key <keysym-name>", "button <n> <x> <y>", "clicked <button-label>", "text <entry-text>",
// "secret <password-entry-text>".
//
// --tree adds a menu bar with two closed menus, a hidden button, a chain of nested boxes deeper
// than any tree description goes with a label at its bottom, and a list of more labels than any
// description lists, all on screen; without --title the window then gets a title of 600
// user-perceived characters, each an "e" with a combining acute accent.
//
// --bare leaves out every widget: the window shows nothing but its background colour.
//
// --slow-name MS makes the element named "Slow" (a label added for the purpose) take that many
// milliseconds each time its accessible name is read, as a busy application would.
//
// Runs entirely on the Qt main thread.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

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
};

constexpr int kTreeNestingDepth = 15;
constexpr int kTreeListLength = 300;
constexpr int kTreeListColumns = 25;
constexpr int kTreeTitleCharacters = 600;
constexpr char kSlowName[] = "Slow";

// Every report is one whole line, flushed at once, so a reader never sees half of one.
[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "kex-qt-test-app: %s\n"
               "usage: kex-qt-test-app [--title TEXT] [--color RRGGBB] [--size WxH] "
               "[--position X,Y] [--label TEXT] [--tree] [--bare] [--slow-name MS]\n",
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
    if (i + 1 >= argc) usage("every option but --tree and --bare takes a value");
    const std::string value = argv[++i];
    if (flag == "--title") {
      options.title = value;
      titled = true;
    } else if (flag == "--label") {
      options.label = value;
    } else if (flag == "--color") {
      if (!isHexColor(value)) usage("--color wants six hex digits");
      options.color = value;
    } else if (flag == "--size") {
      if (!parsePair(value.c_str(), 'x', options.width, options.height) || options.width <= 0 ||
          options.height <= 0) {
        usage("--size wants WxH");
      }
    } else if (flag == "--position") {
      int x = 0;
      int y = 0;
      if (!parsePair(value.c_str(), ',', x, y)) usage("--position wants X,Y");
      options.position = std::make_pair(x, y);
    } else if (flag == "--slow-name") {
      char* end = nullptr;
      const long milliseconds = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || milliseconds < 0) {
        usage("--slow-name wants milliseconds");
      }
      options.slowNameMilliseconds = static_cast<int>(milliseconds);
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

QString qtText(const std::string& text) { return QString::fromStdString(text); }

void nameForAccessibility(QWidget* widget, const char* name) {
  widget->setObjectName(name);
  widget->setAccessibleName(name);
}

// --- a slow accessible name ---------------------------------------------------------------

int slowNameMilliseconds = 0;

// Blocks the main thread, and with it every accessibility reply, while the name is read.
class SlowAccessibleLabel : public QAccessibleWidget {
 public:
  explicit SlowAccessibleLabel(QWidget* widget)
      : QAccessibleWidget(widget, QAccessible::StaticText) {}

  QString text(QAccessible::Text kind) const override {
    if (kind == QAccessible::Name)
      QThread::msleep(static_cast<unsigned long>(slowNameMilliseconds));
    return QAccessibleWidget::text(kind);
  }
};

QAccessibleInterface* slowLabelFactory(const QString& className, QObject* object) {
  if (className != QLatin1String("QLabel") || object == nullptr ||
      object->objectName() != QLatin1String(kSlowName)) {
    return nullptr;
  }
  return new SlowAccessibleLabel(static_cast<QWidget*>(object));
}

// --- event reports ------------------------------------------------------------------------

// Reports what reaches the window: the first delivery of each input event (Qt hands an ignored
// event on to the parents, and the filter would see it again), activation, geometry changes
// and the first paint once shown.
class EventReporter : public QObject {
 public:
  explicit EventReporter(QMainWindow* window) : window_(window) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::KeyPress:
        if (firstDelivery(watched, event)) reportKey(static_cast<QKeyEvent*>(event));
        break;
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonDblClick:
        if (firstDelivery(watched, event)) reportButton(static_cast<QMouseEvent*>(event));
        break;
      default:
        if (watched == window_) windowEvent(event);
        break;
    }
    return false;
  }

 private:
  // Only events bound for this window's widgets, once each.
  bool firstDelivery(QObject* watched, QEvent* event) {
    if (!watched->isWidgetType() || static_cast<QWidget*>(watched)->window() != window_) {
      return false;
    }
    const auto* input = static_cast<QInputEvent*>(event);
    if (event == lastEvent_ && input->timestamp() == lastTimestamp_ && event->type() == lastType_) {
      return false;
    }
    lastEvent_ = event;
    lastTimestamp_ = input->timestamp();
    lastType_ = event->type();
    return true;
  }

  // On X11 the native key is the keysym, named as GTK names it.
  static void reportKey(QKeyEvent* event) {
    char name[64];
    const int length = xkb_keysym_get_name(event->nativeVirtualKey(), name, sizeof name);
    report("key %s", length > 0 ? name : "unknown");
  }

  void reportButton(QMouseEvent* event) {
    const QPoint at = window_->mapFromGlobal(event->globalPos());
    report("button %d %d %d", buttonNumber(event->button()), at.x(), at.y());
  }

  static int buttonNumber(Qt::MouseButton button) {
    switch (button) {
      case Qt::LeftButton:
        return 1;
      case Qt::MiddleButton:
        return 2;
      case Qt::RightButton:
        return 3;
      default:
        return 0;
    }
  }

  void windowEvent(QEvent* event) {
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize: {
        const QRect frame = window_->geometry();
        report("configure %d %d %d %d", frame.x(), frame.y(), frame.width(), frame.height());
        break;
      }
      case QEvent::WindowActivate:
        report("focus-in");
        break;
      case QEvent::WindowDeactivate:
        report("focus-out");
        break;
      case QEvent::Paint:
        // "ready" waits for the first paint after showing, so whoever reads it may look at
        // the pixels; the paint reaches the screen once this event is handled.
        if (!readyReported_ && window_->isVisible()) {
          readyReported_ = true;
          QTimer::singleShot(0, window_, [this] {
            report("ready %lu", static_cast<unsigned long>(window_->winId()));
          });
        }
        break;
      default:
        break;
    }
  }

  QMainWindow* window_;
  const QEvent* lastEvent_ = nullptr;
  ulong lastTimestamp_ = 0;
  QEvent::Type lastType_ = QEvent::None;
  bool readyReported_ = false;
};

// --- widgets ------------------------------------------------------------------------------

QLineEdit* makeEntry(const char* name, bool secret) {
  auto* entry = new QLineEdit;
  nameForAccessibility(entry, name);
  if (secret) entry->setEchoMode(QLineEdit::Password);
  QObject::connect(entry, &QLineEdit::textChanged, [secret](const QString& text) {
    report("%s %s", secret ? "secret" : "text", text.toUtf8().constData());
  });
  return entry;
}

QPushButton* makeButton(const char* label) {
  auto* button = new QPushButton(label);
  nameForAccessibility(button, label);
  QObject::connect(button, &QPushButton::clicked, [label] { report("clicked %s", label); });
  return button;
}

QLabel* makeLabel(const std::string& text, const char* name) {
  auto* label = new QLabel(qtText(text));
  nameForAccessibility(label, name);
  return label;
}

// Each box holds the next; the innermost holds a label named "Deepest".
QWidget* makeNestedBoxes(int depth) {
  QWidget* inner = makeLabel("deepest", "Deepest");
  for (int level = depth; level >= 1; --level) {
    auto* box = new QWidget;
    const std::string name = "Level " + std::to_string(level);
    nameForAccessibility(box, name.c_str());
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(inner);
    inner = box;
  }
  return inner;
}

// The labels "Item 1" ... in one box, row by row, each showing only its number so that all of
// them are on screen.
QWidget* makeLongList(int length) {
  auto* list = new QWidget;
  nameForAccessibility(list, "List");
  auto* layout = new QGridLayout(list);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  for (int i = 1; i <= length; ++i) {
    const std::string name = "Item " + std::to_string(i);
    const int index = i - 1;
    layout->addWidget(makeLabel(std::to_string(i), name.c_str()), index / kTreeListColumns,
                      index % kTreeListColumns);
  }
  return list;
}

void addMenus(QMainWindow* window) {
  QMenu* file = window->menuBar()->addMenu("File");
  file->addAction("New");
  file->addAction("Open");
  file->addSeparator();
  file->addAction("Quit");
  QMenu* edit = window->menuBar()->addMenu("Edit");
  edit->addAction("Cut");
  edit->addAction("Paste");
}

QWidget* makeContent(const AppOptions& options) {
  auto* column = new QWidget;
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(12, 12, 12, 12);
  layout->setSpacing(8);
  layout->addWidget(makeLabel(options.label, "Label"));
  layout->addWidget(makeEntry("Text", false));
  layout->addWidget(makeEntry("Password", true));

  auto* row = new QHBoxLayout;
  row->addWidget(makeButton("OK"));
  row->addWidget(makeButton("Cancel"));
  row->addStretch(1);
  layout->addLayout(row);
  if (options.slowNameMilliseconds > 0) layout->addWidget(makeLabel("slow", kSlowName));
  if (options.tree) {
    QPushButton* hidden = makeButton("Hidden");
    hidden->hide();
    layout->addWidget(hidden);
    layout->addWidget(makeNestedBoxes(kTreeNestingDepth));
    layout->addWidget(makeLongList(kTreeListLength), 1);
  } else {
    layout->addStretch(1);
  }
  return column;
}

QMainWindow* makeWindow(const AppOptions& options) {
  auto* window = new QMainWindow;
  window->setWindowTitle(qtText(options.title));
  window->resize(options.width, options.height);
  if (options.position) window->move(options.position->first, options.position->second);
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, QColor(qtText("#" + options.color)));
  window->setPalette(palette);
  window->setAutoFillBackground(true);
  if (!options.bare) {
    if (options.tree) addMenus(window);
    window->setCentralWidget(makeContent(options));
  }
  return window;
}

// SIGTERM and SIGINT end the event loop through a socket pair, the one thing a handler may do.
int signalSockets[2] = {-1, -1};

void onTerminationSignal(int) {
  const char byte = 1;
  (void)!::write(signalSockets[0], &byte, 1);
}

void quitOnTerminationSignals(QApplication& application) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0) return;
  auto* notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, &application);
  QObject::connect(notifier, &QSocketNotifier::activated, &application, &QApplication::quit);
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // The window is read through the accessibility bus whether or not a screen reader runs.
  qputenv("QT_ACCESSIBILITY", "1");
  qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  qputenv("QT_QPA_PLATFORM", "xcb");
  // Qt would take some of our options for its own ("--title" sets every window's title).
  const AppOptions options = parseOptions(argc, argv);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  slowNameMilliseconds = options.slowNameMilliseconds;
  QAccessible::installFactory(slowLabelFactory);
  QMainWindow* window = makeWindow(options);
  EventReporter reporter(window);
  application.installEventFilter(&reporter);
  quitOnTerminationSignals(application);
  window->show();
  const int status = QApplication::exec();
  delete window;
  return status;
}
