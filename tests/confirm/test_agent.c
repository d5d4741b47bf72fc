/* A stand-in for the session's authentication agent in kex-confirm's tests: it registers with
 * polkit for the processes it is given, prints a line for everything polkit asks of it, and
 * answers each request the way its command line says.
 *
 *   kex_confirm_test_agent --process PID [--process PID]... --answer password|cancel|wait
 *
 * password: answers the password prompt with the first line of standard input.
 * cancel:   dismisses the request at once, as a person closing the dialog would.
 * wait:     never answers, so a test can watch the request being withdrawn.
 *
 * Standard output, one line each: "registered" once polkit accepts the agent; then per request
 * "request <action id> <message>", and "completed <1|0>" (authenticated or not), "dismissed",
 * or "withdrawn" (polkit cancelled the request). SIGTERM ends it. */
#define POLKIT_AGENT_I_KNOW_API_IS_SUBJECT_TO_CHANGE
#include <glib-unix.h>
#include <polkit/polkit.h>
#include <polkitagent/polkitagent.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef enum { ANSWER_PASSWORD, ANSWER_CANCEL, ANSWER_WAIT } Answer;

typedef struct {
  PolkitAgentListener parent_instance;
  Answer answer;
  gchar *password;
} TestListener;

typedef struct {
  PolkitAgentListenerClass parent_class;
} TestListenerClass;

G_DEFINE_TYPE(TestListener, test_listener, POLKIT_AGENT_TYPE_LISTENER)

/* All output is line by line and flushed at once: the test reads it while the agent runs. */
static void say(const char *format, ...) G_GNUC_PRINTF(1, 2);
static void say(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vprintf(format, arguments);
  va_end(arguments);
  putchar('\n');
  fflush(stdout);
}

/* One authentication in flight; runs on the main thread like everything here. */
typedef struct {
  GTask *task;
  PolkitAgentSession *session;
  gulong cancelled_handler;
} Request;

static void finish_request(Request *request) {
  if (request->cancelled_handler != 0) {
    g_cancellable_disconnect(g_task_get_cancellable(request->task), request->cancelled_handler);
  }
  g_clear_object(&request->session);
  g_object_unref(request->task);
  g_free(request);
}

static void on_session_request(PolkitAgentSession *session, const gchar *prompt G_GNUC_UNUSED,
                               gboolean echo_on G_GNUC_UNUSED, gpointer user_data) {
  TestListener *listener = user_data;
  polkit_agent_session_response(session, listener->password);
}

static void on_session_completed(PolkitAgentSession *session G_GNUC_UNUSED,
                                 gboolean gained_authorization, gpointer user_data) {
  Request *request = user_data;
  say("completed %d", gained_authorization ? 1 : 0);
  g_task_return_boolean(request->task, TRUE);
  finish_request(request);
}

static void start_session(TestListener *listener, Request *request, const gchar *cookie,
                          GList *identities) {
  request->session = polkit_agent_session_new(POLKIT_IDENTITY(identities->data), cookie);
  g_signal_connect(request->session, "request", G_CALLBACK(on_session_request), listener);
  g_signal_connect(request->session, "completed", G_CALLBACK(on_session_completed), request);
  polkit_agent_session_initiate(request->session);
}

/* polkit withdraws a request by cancelling it; runs from g_cancellable_cancel on the main
 * thread, so finishing is deferred to an idle callback rather than done inside the signal. */
static gboolean return_withdrawn(gpointer user_data) {
  Request *request = user_data;
  say("withdrawn");
  g_task_return_new_error(request->task, POLKIT_ERROR, POLKIT_ERROR_CANCELLED, "withdrawn");
  request->cancelled_handler = 0;
  finish_request(request);
  return G_SOURCE_REMOVE;
}

static void on_withdrawn(GCancellable *cancellable G_GNUC_UNUSED, gpointer user_data) {
  g_idle_add(return_withdrawn, user_data);
}

static void initiate_authentication(PolkitAgentListener *agent_listener, const gchar *action_id,
                                    const gchar *message, const gchar *icon_name G_GNUC_UNUSED,
                                    PolkitDetails *details G_GNUC_UNUSED, const gchar *cookie,
                                    GList *identities, GCancellable *cancellable,
                                    GAsyncReadyCallback callback, gpointer user_data) {
  TestListener *listener = (TestListener *)agent_listener;
  say("request %s %s", action_id, message);
  Request *request = g_new0(Request, 1);
  request->task = g_task_new(listener, cancellable, callback, user_data);
  if (listener->answer == ANSWER_CANCEL || identities == NULL) {
    say("dismissed");
    g_task_return_new_error(request->task, POLKIT_ERROR, POLKIT_ERROR_CANCELLED, "dismissed");
    finish_request(request);
    return;
  }
  if (listener->answer == ANSWER_WAIT) {
    request->cancelled_handler =
        g_cancellable_connect(cancellable, G_CALLBACK(on_withdrawn), request, NULL);
    return;
  }
  start_session(listener, request, cookie, identities);
}

static gboolean initiate_authentication_finish(PolkitAgentListener *listener G_GNUC_UNUSED,
                                               GAsyncResult *result, GError **error) {
  return g_task_propagate_boolean(G_TASK(result), error);
}

static void test_listener_finalize(GObject *object) {
  g_free(((TestListener *)object)->password);
  G_OBJECT_CLASS(test_listener_parent_class)->finalize(object);
}

static void test_listener_init(TestListener *listener G_GNUC_UNUSED) {}

static void test_listener_class_init(TestListenerClass *klass) {
  G_OBJECT_CLASS(klass)->finalize = test_listener_finalize;
  PolkitAgentListenerClass *listener_class = POLKIT_AGENT_LISTENER_CLASS(klass);
  listener_class->initiate_authentication = initiate_authentication;
  listener_class->initiate_authentication_finish = initiate_authentication_finish;
}

static gboolean parse_answer(const char *text, Answer *answer) {
  static const struct {
    const char *word;
    Answer answer;
  } answers[] = {{"password", ANSWER_PASSWORD}, {"cancel", ANSWER_CANCEL}, {"wait", ANSWER_WAIT}};
  for (size_t i = 0; i < G_N_ELEMENTS(answers); i++) {
    if (strcmp(text, answers[i].word) != 0) continue;
    *answer = answers[i].answer;
    return TRUE;
  }
  return FALSE;
}

static gboolean parse_arguments(int argc, char **argv, GArray *processes, Answer *answer) {
  gboolean answered = FALSE;
  for (int i = 1; i + 1 < argc; i += 2) {
    gint64 process = 0;
    if (strcmp(argv[i], "--process") == 0 &&
        g_ascii_string_to_signed(argv[i + 1], 10, 1, G_MAXINT, &process, NULL)) {
      gint pid = (gint)process;
      g_array_append_val(processes, pid);
    } else if (strcmp(argv[i], "--answer") == 0 && parse_answer(argv[i + 1], answer)) {
      answered = TRUE;
    } else {
      return FALSE;
    }
  }
  return argc % 2 == 1 && answered && processes->len > 0;
}

static gchar *read_password_line(void) {
  char line[512];
  if (fgets(line, sizeof line, stdin) == NULL) return g_strdup("");
  line[strcspn(line, "\n")] = '\0';
  return g_strdup(line);
}

/* Each process gets a registration of its own, and each registration needs its own object
 * path on the agent's connection. Start time 0 makes polkit read it from /proc, so the
 * registration is for that very process and not for a later one reusing its pid. */
static gboolean register_for_process(TestListener *listener, gint pid, guint index) {
  PolkitSubject *subject = polkit_unix_process_new_for_owner(pid, 0, -1);
  gchar *object_path = g_strdup_printf("/org/kex/ConfirmTestAgent/%u", index);
  GError *error = NULL;
  gpointer registration = polkit_agent_listener_register(POLKIT_AGENT_LISTENER(listener),
                                                         POLKIT_AGENT_REGISTER_FLAGS_NONE, subject,
                                                         object_path, NULL, &error);
  g_free(object_path);
  g_object_unref(subject);
  if (registration != NULL) return TRUE;
  fprintf(stderr, "cannot register for process %d: %s\n", pid, error->message);
  g_error_free(error);
  return FALSE;
}

static gboolean on_terminate(gpointer loop) {
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

/* Main thread: registration, the requests and the exit all happen on its main loop. The
 * registrations are never withdrawn: polkit forgets them when the agent's bus connection
 * closes, and withdrawing one for a process that has already exited only fails. */
int main(int argc, char **argv) {
  Answer answer = ANSWER_PASSWORD;
  GArray *processes = g_array_new(FALSE, FALSE, sizeof(gint));
  if (!parse_arguments(argc, argv, processes, &answer)) {
    fprintf(stderr, "usage: %s --process PID [--process PID]... --answer password|cancel|wait\n",
            argv[0]);
    return 2;
  }

  TestListener *listener = g_object_new(test_listener_get_type(), NULL);
  listener->answer = answer;
  listener->password = answer == ANSWER_PASSWORD ? read_password_line() : g_strdup("");
  for (guint i = 0; i < processes->len; i++) {
    if (!register_for_process(listener, g_array_index(processes, gint, i), i)) return 1;
  }
  say("registered");

  GMainLoop *loop = g_main_loop_new(NULL, FALSE);
  g_unix_signal_add(SIGTERM, on_terminate, loop);
  g_main_loop_run(loop);

  g_main_loop_unref(loop);
  g_object_unref(listener);
  g_array_unref(processes);
  return 0;
}
