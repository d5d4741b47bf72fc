#include "conversation.h"

#include <glib-unix.h>
#include <polkit/polkit.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <vector>

namespace kex::confirm {

namespace {

// The system bus starts polkitd on demand, which can take a few seconds on a cold machine; a
// machine that has not answered by then counts as unable to ask. The prompt itself has no
// limit: the person takes the time they need and the host decides how long to wait.
constexpr guint reachDeadlineSeconds = 10;

constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

bool listsApprovalAction(GList* actions) {
  for (GList* item = actions; item != nullptr; item = item->next) {
    auto* action = POLKIT_ACTION_DESCRIPTION(item->data);
    if (std::strcmp(polkit_action_description_get_action_id(action), approvalActionId) == 0) {
      return true;
    }
  }
  return false;
}

// Runs on the main thread, and so do all its callbacks: GIO completes asynchronous calls in the
// main context they were started from, which the main thread iterates in run().
class Conversation {
 public:
  explicit Conversation(Mode mode) : mode_(mode) {}
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;
  ~Conversation() { release(); }

  Outcome run() {
    // polkit grants root everything without asking anyone, so root can never be asked.
    if (getuid() == 0) return Outcome::unavailable;
    loop_ = g_main_loop_new(nullptr, FALSE);
    cancellable_ = g_cancellable_new();
    subject_ = polkit_unix_process_new_for_owner(getpid(), 0, getuid());
    reachDeadline_ = g_timeout_add_seconds(reachDeadlineSeconds, onReachDeadline, this);
    watchStopSignals();
    polkit_authority_get_async(cancellable_, onAuthority, this);
    g_main_loop_run(loop_);
    return outcome_;
  }

 private:
  static void onAuthority(GObject*, GAsyncResult* result, gpointer self) {
    static_cast<Conversation*>(self)->receiveAuthority(result);
  }

  void receiveAuthority(GAsyncResult* result) {
    if (finished_) return;
    authority_ = polkit_authority_get_finish(result, nullptr);
    if (authority_ == nullptr) return finish(Outcome::unavailable);
    polkit_authority_enumerate_actions(authority_, cancellable_, onActions, this);
  }

  static void onActions(GObject*, GAsyncResult* result, gpointer self) {
    static_cast<Conversation*>(self)->receiveActions(result);
  }

  void receiveActions(GAsyncResult* result) {
    if (finished_) return;
    g_autoptr(GError) error = nullptr;
    GList* actions = polkit_authority_enumerate_actions_finish(authority_, result, &error);
    const bool registered = error == nullptr && listsApprovalAction(actions);
    g_list_free_full(actions, g_object_unref);
    if (!registered) return finish(Outcome::unavailable);
    checkAuthorization(POLKIT_CHECK_AUTHORIZATION_FLAGS_NONE, onQuietCheck);
  }

  void checkAuthorization(PolkitCheckAuthorizationFlags flags, GAsyncReadyCallback done) {
    polkit_authority_check_authorization(authority_, subject_, approvalActionId, nullptr, flags,
                                         cancellable_, done, this);
  }

  static void onQuietCheck(GObject*, GAsyncResult* result, gpointer self) {
    static_cast<Conversation*>(self)->receiveQuietCheck(result);
  }

  // Only a challenge means a person would be asked; authorized without a prompt (a local rule,
  // say) proves nothing about who is at the machine.
  void receiveQuietCheck(GAsyncResult* result) {
    if (finished_) return;
    g_autoptr(PolkitAuthorizationResult) answer =
        polkit_authority_check_authorization_finish(authority_, result, nullptr);
    if (answer == nullptr || !polkit_authorization_result_get_is_challenge(answer)) {
      return finish(Outcome::unavailable);
    }
    stopReachDeadline();
    if (mode_ == Mode::availabilityCheck) return finish(Outcome::available);
    checkAuthorization(POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION, onPrompt);
  }

  static void onPrompt(GObject*, GAsyncResult* result, gpointer self) {
    static_cast<Conversation*>(self)->receivePrompt(result);
  }

  void receivePrompt(GAsyncResult* result) {
    if (finished_) return;
    g_autoptr(PolkitAuthorizationResult) answer =
        polkit_authority_check_authorization_finish(authority_, result, nullptr);
    if (answer == nullptr) return finish(Outcome::refused);
    if (polkit_authorization_result_get_is_authorized(answer)) {
      return finish(Outcome::verified);
    }
    // Still a challenge after asking to interact: no authentication agent serves this session.
    if (polkit_authorization_result_get_is_challenge(answer)) {
      return finish(Outcome::unavailable);
    }
    finish(Outcome::refused);
  }

  static gboolean onReachDeadline(gpointer self) {
    auto* conversation = static_cast<Conversation*>(self);
    conversation->reachDeadline_ = 0;
    conversation->finish(Outcome::unavailable);
    return G_SOURCE_REMOVE;
  }

  void stopReachDeadline() {
    if (reachDeadline_ == 0) return;
    g_source_remove(reachDeadline_);
    reachDeadline_ = 0;
  }

  // The host gave up (or the person pressed ctrl-c): withdraw the prompt and refuse.
  void watchStopSignals() {
    for (int signal : stopSignals)
      stopSignalSources_.push_back(g_unix_signal_add(signal, onStop, this));
  }

  static gboolean onStop(gpointer self) {
    static_cast<Conversation*>(self)->finish(Outcome::refused);
    return G_SOURCE_CONTINUE;
  }

  void finish(Outcome outcome) {
    if (finished_) return;
    finished_ = true;
    outcome_ = outcome;
    // Withdraws a pending prompt. polkitd also takes it down once this process's bus connection
    // closes, so exiting right away loses nothing.
    g_cancellable_cancel(cancellable_);
    g_main_loop_quit(loop_);
  }

  void release() {
    stopReachDeadline();
    for (guint source : stopSignalSources_) g_source_remove(source);
    g_clear_object(&authority_);
    g_clear_object(&subject_);
    g_clear_object(&cancellable_);
    g_clear_pointer(&loop_, g_main_loop_unref);
  }

  const Mode mode_;
  GMainLoop* loop_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  PolkitSubject* subject_ = nullptr;
  PolkitAuthority* authority_ = nullptr;
  guint reachDeadline_ = 0;
  std::vector<guint> stopSignalSources_;
  bool finished_ = false;
  Outcome outcome_ = Outcome::refused;
};

}  // namespace

Outcome converseWithPolkit(Mode mode) {
  Conversation conversation(mode);
  return conversation.run();
}

}  // namespace kex::confirm
