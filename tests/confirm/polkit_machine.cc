#include "polkit_machine.h"

#include <gio/gio.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kex::confirm::test {

namespace {

using namespace std::chrono_literals;

constexpr char systemBusSocket[] = "/run/dbus/system_bus_socket";
constexpr char testUserName[] = "kex-confirm-test";
constexpr char approvalActionId[] = "org.kex.confirm.approve";
constexpr char polkitName[] = "org.freedesktop.PolicyKit1";
constexpr char authorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char authorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr char installedActionFile[] = "/usr/share/polkit-1/actions/org.kex.confirm.policy";
constexpr char grantRuleFile[] = "/etc/polkit-1/rules.d/00-kex-confirm-test.rules";
constexpr char grantRuleDraft[] = "/etc/polkit-1/00-kex-confirm-test.rules.draft";

std::unique_ptr<PolkitMachine> machine;

// The whole environment of what the tests run as root, nothing inherited from whoever runs them.
harness::EnvChanges rootEnvironment() {
  return {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}, {"LANG", "C"}};
}

void runAsRoot(const std::vector<std::string>& argv, const std::string& input = "") {
  ChildProcess child({.argv = argv,
                      .env = rootEnvironment(),
                      .envBase = harness::EnvBase::empty,
                      .stdinFrom = harness::Stream::pipe,
                      .stdoutTo = harness::Stream::pipe,
                      .stderrTo = harness::Stream::pipe});
  (void)child.writeRaw(input);
  child.closeStdin();
  const harness::Ending ending = child.finish(harness::deadlineIn(20s));
  if (ending.exitStatus != 0) {
    throw std::runtime_error(argv.front() + " failed: " + ending.output + ending.errors);
  }
}

bool systemBusAnswers() {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, systemBusSocket, sizeof address.sun_path - 1);
  const bool answers =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answers;
}

std::string randomPassword() {
  std::ifstream random("/dev/urandom", std::ios::binary);
  unsigned char bytes[12];
  if (!random.read(reinterpret_cast<char*>(bytes), sizeof bytes)) {
    throw std::runtime_error("cannot read /dev/urandom");
  }
  std::ostringstream text;
  text << "Kx-";
  for (unsigned char byte : bytes) text << std::hex << std::setw(2) << std::setfill('0') << +byte;
  return text.str();
}

void installApprovalAction() {
  runAsRoot({"/bin/bash", KEX_SOURCE_DIR "/scripts/install-polkit-action.sh"});
}

TestUser prepareTestUser() {
  if (getpwnam(testUserName) == nullptr) {
    runAsRoot({"/usr/sbin/useradd", "--no-create-home", "--shell", "/usr/sbin/nologin", "--comment",
               "kex-confirm tests", testUserName});
  }
  const std::string password = randomPassword();
  runAsRoot({"/usr/sbin/chpasswd"}, std::string(testUserName) + ":" + password + "\n");
  const passwd* entry = getpwnam(testUserName);
  if (entry == nullptr) throw std::runtime_error("the test user is missing after useradd");
  return {testUserName, {entry->pw_uid, entry->pw_gid}, password};
}

// A connection of the test's own to the system bus, never the process-wide shared one, whose
// loss would end the process.
class PrivateSystemBus {
 public:
  PrivateSystemBus() {
    g_autofree gchar* address =
        g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
    if (address == nullptr) throw std::runtime_error("no system bus address");
    GError* error = nullptr;
    connection_ = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (connection_ == nullptr) {
      const std::string reason = error->message;
      g_error_free(error);
      throw std::runtime_error("cannot connect to the system bus: " + reason);
    }
  }
  ~PrivateSystemBus() {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  PrivateSystemBus(const PrivateSystemBus&) = delete;
  PrivateSystemBus& operator=(const PrivateSystemBus&) = delete;

  [[nodiscard]] GDBusConnection* connection() const { return connection_; }

 private:
  GDBusConnection* connection_;
};

std::optional<RegisteredAction> findAction(const PrivateSystemBus& bus, const std::string& id) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus.connection(), polkitName, authorityPath, authorityInterface, "EnumerateActions",
      g_variant_new("(s)", ""), G_VARIANT_TYPE("(a(ssssssuuua{ss}))"), G_DBUS_CALL_FLAGS_NONE,
      10000, nullptr, &error);
  if (reply == nullptr) {
    const std::string reason = error->message;
    g_error_free(error);
    throw std::runtime_error("polkitd does not list its actions: " + reason);
  }
  std::optional<RegisteredAction> found;
  GVariantIter* actions = nullptr;
  g_variant_get(reply, "(a(ssssssuuua{ss}))", &actions);
  const gchar *actionId, *description, *message, *vendor, *vendorUrl, *icon;
  guint32 any, inactive, active;
  GVariant* annotations = nullptr;
  while (g_variant_iter_loop(actions, "(&s&s&s&s&s&suuu@a{ss})", &actionId, &description, &message,
                             &vendor, &vendorUrl, &icon, &any, &inactive, &active, &annotations)) {
    if (id == actionId) found = RegisteredAction{message, any, inactive, active};
  }
  g_variant_iter_free(actions);
  g_variant_unref(reply);
  return found;
}

void noteChange(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                gpointer changed) {
  *static_cast<bool*>(changed) = true;
}

gboolean noteTimeout(gpointer timedOut) {
  *static_cast<bool*>(timedOut) = true;
  return G_SOURCE_REMOVE;
}

// Blocks on the thread-default context until polkitd says its actions or rules changed.
void waitForChange(GMainContext* context, bool& changed, Deadline deadline) {
  bool timedOut = false;
  GSource* timeout = g_timeout_source_new(static_cast<guint>(harness::millisecondsLeft(deadline)));
  g_source_set_callback(timeout, noteTimeout, &timedOut, nullptr);
  g_source_attach(timeout, context);
  while (!changed && !timedOut) g_main_context_iteration(context, TRUE);
  g_source_destroy(timeout);
  g_source_unref(timeout);
  changed = false;
}

// A main context of its own, thread-default while this lives, so signal subscriptions made
// meanwhile are delivered only where the waiting loop looks.
class OwnMainContext {
 public:
  OwnMainContext() : context_(g_main_context_new()) {
    g_main_context_push_thread_default(context_);
  }
  ~OwnMainContext() {
    g_main_context_pop_thread_default(context_);
    g_main_context_unref(context_);
  }
  OwnMainContext(const OwnMainContext&) = delete;
  OwnMainContext& operator=(const OwnMainContext&) = delete;

  [[nodiscard]] GMainContext* get() const { return context_; }

 private:
  GMainContext* context_;
};

// Asks the question again each time polkitd reports a change, until it answers yes or the
// deadline passes; the answer is read fresh, however many change signals one edit causes.
bool waitForPolkit(const std::function<bool(const PrivateSystemBus&)>& answersYes,
                   Deadline deadline) {
  const OwnMainContext context;
  const PrivateSystemBus bus;
  bool changed = false;
  const guint subscription = g_dbus_connection_signal_subscribe(
      bus.connection(), nullptr, authorityInterface, "Changed", authorityPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, noteChange, &changed, nullptr);
  bool yes = false;
  try {
    while (!(yes = answersYes(bus)) && !harness::hasPassed(deadline)) {
      waitForChange(context.get(), changed, deadline);
    }
  } catch (...) {
    g_dbus_connection_signal_unsubscribe(bus.connection(), subscription);
    throw;
  }
  g_dbus_connection_signal_unsubscribe(bus.connection(), subscription);
  return yes;
}

// polkit's answer without user interaction; nothing if it could not answer (a process that
// has gone, say), which must never pass for either answer.
std::optional<bool> authorizedWithoutAsking(const PrivateSystemBus& bus, pid_t process,
                                            uid_t owner) {
  GVariantBuilder subjectDetails;
  g_variant_builder_init(&subjectDetails, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&subjectDetails, "{sv}", "pid",
                        g_variant_new_uint32(static_cast<guint32>(process)));
  g_variant_builder_add(&subjectDetails, "{sv}", "start-time", g_variant_new_uint64(0));
  g_variant_builder_add(&subjectDetails, "{sv}", "uid",
                        g_variant_new_int32(static_cast<gint32>(owner)));
  GVariant* reply = g_dbus_connection_call_sync(
      bus.connection(), polkitName, authorityPath, authorityInterface, "CheckAuthorization",
      g_variant_new("((sa{sv})sa{ss}us)", "unix-process", &subjectDetails, approvalActionId,
                    nullptr, 0u, ""),
      G_VARIANT_TYPE("((bba{ss}))"), G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
  if (reply == nullptr) return std::nullopt;
  gboolean authorized = FALSE;
  gboolean challenge = FALSE;
  g_variant_get(reply, "((bb@a{ss}))", &authorized, &challenge, nullptr);
  g_variant_unref(reply);
  return authorized != FALSE;
}

}  // namespace

PolkitMachine& PolkitMachine::prepared() {
  if (!machine) machine.reset(new PolkitMachine());
  return *machine;
}

void PolkitMachine::release() { machine.reset(); }

PolkitMachine::PolkitMachine() {
  if (geteuid() != 0) {
    throw std::runtime_error(
        "kex-confirm's tests start a system bus and create a user, so they run as root");
  }
  installApprovalAction();
  // A test process that was killed may have left its rule behind.
  std::filesystem::remove(grantRuleFile);
  user_ = prepareTestUser();
  startSystemBusUnlessRunning();
  waitUntilActionListed(true, harness::deadlineIn(15s));
}

PolkitMachine::~PolkitMachine() { stopSystemBus(); }

void PolkitMachine::startSystemBusUnlessRunning() {
  if (systemBusAnswers()) return;
  std::filesystem::create_directories("/run/dbus");
  systemBus_ = std::make_unique<ChildProcess>(harness::ChildOptions{
      .argv = {"/usr/bin/dbus-daemon", "--system", "--nofork", "--nopidfile", "--print-address=1"},
      .env = rootEnvironment(),
      .envBase = harness::EnvBase::empty,
      .stdoutTo = harness::Stream::pipe,
  });
  // The address is printed once the bus listens.
  const std::optional<std::string> address = systemBus_->readLine(harness::deadlineIn(10s));
  if (!address || !address->starts_with("unix:")) {
    throw std::runtime_error("the system bus did not start");
  }
}

void PolkitMachine::stopSystemBus() {
  if (!systemBus_) return;
  // polkitd, which the bus started, sits in the bus's process group; ending the bus ends and
  // reaps it too, so the next test's bus never meets a polkitd still shutting down.
  (void)systemBus_->terminate(5s);
  systemBus_.reset();
  // dbus-daemon leaves its socket behind; a dead one would only make clients try in vain.
  if (!systemBusAnswers()) std::filesystem::remove(systemBusSocket);
}

void PolkitMachine::waitUntilActionListed(bool listed, Deadline deadline) const {
  const auto settled = [listed](const PrivateSystemBus& bus) {
    return findAction(bus, approvalActionId).has_value() == listed;
  };
  if (!waitForPolkit(settled, deadline)) {
    throw std::runtime_error(std::string("polkitd's list of actions ") +
                             (listed ? "lacks " : "still has ") + approvalActionId);
  }
}

void PolkitMachine::withdrawApprovalAction(bool withdrawn) const {
  if (withdrawn) {
    std::filesystem::remove(installedActionFile);
  } else {
    installApprovalAction();
  }
  waitUntilActionListed(!withdrawn, harness::deadlineIn(15s));
}

void PolkitMachine::grantApprovalWithoutPassword(bool granted) const {
  if (!granted) {
    std::filesystem::remove(grantRuleFile);
    return;
  }
  {
    std::ofstream rule(grantRuleDraft, std::ios::trunc);
    rule << "// Written and removed by kex-confirm's tests.\n"
         << "polkit.addRule(function(action, subject) {\n"
         << "  if (action.id == \"" << approvalActionId << "\" && subject.user == \"" << user_.name
         << "\") return polkit.Result.YES;\n"
         << "});\n";
    if (!rule) throw std::runtime_error("cannot write the polkit rule");
  }
  // polkitd reads the whole folder on every change in it, so the rule arrives in one rename.
  std::filesystem::rename(grantRuleDraft, grantRuleFile);
}

bool PolkitMachine::settlesOnQuietAnswer(pid_t process, bool authorized, Deadline deadline) const {
  const uid_t owner = user_.account.uid;
  return waitForPolkit(
      [&](const PrivateSystemBus& bus) {
        return authorizedWithoutAsking(bus, process, owner) == std::optional<bool>(authorized);
      },
      deadline);
}

std::optional<RegisteredAction> PolkitMachine::registeredAction(const std::string& id) const {
  PrivateSystemBus bus;
  return findAction(bus, id);
}

}  // namespace kex::confirm::test
