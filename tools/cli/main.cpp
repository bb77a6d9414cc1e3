// SPDX-License-Identifier: MIT
// ombrix-discovery-cli: prints one line per peer discovered on the local
// network, until it is interrupted or its output goes away.
#include "peer_line.h"
#include "silence.h"
#include "translation.h"

#include <obx_discovery/discovery.h>

#include <glib-unix.h>
#include <glib.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

namespace {

gboolean verbose = FALSE;

GOptionEntry option_entries[] = {
    {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose, N_("Increase verbosity"), nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

// How long after a signal the tool ends without waiting for the instance:
// its listener may be held writing a line that nobody reads.
constexpr gulong ENDING_GRACE_MS = 500;

// How the run ends: by a signal, re-raised once the instance is freed, or
// with an exit status.
struct Ending {
    GMainLoop *loop = nullptr;
    gint signal = 0; // set by the signal watcher's thread too
    int status = 0;
    bool pipe_signal_ignored = false;
};

Hearing hearing;

void on_discovery(const char *address_string, ObxPeerDetails details, void *)
{
    hearing.note(details.type);
    gchar *line = peer_line_new(address_string, details);
    g_print("%s\n", line);
    g_free(line);
}

const char *silence_text(Silence silence)
{
    switch (silence) {
    case Silence::NO_NETWORK:
        return _("no camera found: this computer has no network to broadcast on "
                 "(no IPv4 interface that is up, other than loopback)");
    case Silence::NOTHING_HEARD:
        return _("nothing heard on UDP port 13702, not even this tool's own announcement: "
                 "a firewall probably drops the port, or another program holds it "
                 "(see man ombrix-discovery-cli)");
    case Silence::ONLY_TOOLS_HEARD:
        return _("no camera answered on this computer's networks; cameras on another subnet "
                 "are heard only through a broadcast relay (see man ombrix-discovery-cli)");
    case Silence::NONE:
        break;
    }
    return nullptr;
}

// Tells, once, on standard error, why no camera is listed, if none is.
gboolean on_silence_due(gpointer)
{
    if (const char *text = silence_text(hearing.silence()))
        g_printerr("%s: %s\n", g_get_prgname(), text);
    return G_SOURCE_REMOVE;
}

gboolean parse_command_line(int *argc, char ***argv)
{
    GOptionContext *context = g_option_context_new(nullptr);
    GOptionGroup *group = g_option_group_new(nullptr, nullptr, nullptr, nullptr, nullptr);
    g_option_group_add_entries(group, option_entries);
    g_option_group_set_translation_domain(group, GETTEXT_PACKAGE);
    g_option_context_set_main_group(context, group);

    GError *error = nullptr;
    gboolean parsed = g_option_context_parse(context, argc, argv, &error);
    if (!parsed) {
        g_printerr("%s\n", error->message);
        g_error_free(error);
    }
    g_option_context_free(context);
    return parsed;
}

Ending ending;

// Ends the process as signal_number would have.
[[noreturn]] void end_as(int signal_number)
{
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}

// On the signal watcher's thread. The main thread frees the instance and
// ends the process as the signal; if it cannot within the grace, because a
// write to a standard output or error that nobody reads holds it, this
// thread ends the process as the signal without it.
gboolean on_signal(gpointer signal_number)
{
    g_atomic_int_set(&ending.signal, GPOINTER_TO_INT(signal_number));
    g_main_loop_quit(ending.loop);
    g_usleep(ENDING_GRACE_MS * 1000);
    end_as(GPOINTER_TO_INT(signal_number));
}

gpointer watch_signals(gpointer context)
{
    GMainLoop *loop = g_main_loop_new(static_cast<GMainContext *>(context), FALSE);
    g_main_loop_run(loop); // until on_signal ends the process
    return nullptr;
}

// Its reader closed standard output: nothing printed from now on reaches
// anyone, so the run is over. Ends as a pipeline's writer does.
gboolean on_output_closed(gint, GIOCondition, gpointer)
{
    if (ending.pipe_signal_ignored)
        ending.status = 1;
    else
        g_atomic_int_set(&ending.signal, SIGPIPE);
    g_main_loop_quit(ending.loop);
    return G_SOURCE_REMOVE;
}

// Signals are watched on a thread of their own, so that a main thread held
// by a stalled standard error cannot keep the tool from ending.
void start_signal_watcher()
{
    GMainContext *context = g_main_context_new();
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        GSource *source = g_unix_signal_source_new(signal_number);
        g_source_set_callback(source, on_signal, GINT_TO_POINTER(signal_number), nullptr);
        g_source_attach(source, context);
        g_source_unref(source);
    }
    g_thread_unref(g_thread_new("signal watcher", watch_signals, context));
}

// Signals end the main loop, so that the instance is freed (a start-up
// datagram still pending leaves) before the process ends as they would.
// A write to a closed standard output fails instead of killing the process
// from the listener thread; the watch on it ends the run.
void watch_for_the_end()
{
    start_signal_watcher();
    ending.pipe_signal_ignored = signal(SIGPIPE, SIG_IGN) == SIG_IGN;
    if (fcntl(STDOUT_FILENO, F_GETFD) >= 0)
        g_unix_fd_add(STDOUT_FILENO, static_cast<GIOCondition>(G_IO_ERR | G_IO_HUP),
                      on_output_closed, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    // Also the locale, which g_print converts to: without it, every non-ASCII
    // character of a camera's name would print as "?".
    translation_init();

    if (!parse_command_line(&argc, &argv))
        return 1;

    ending.loop = g_main_loop_new(nullptr, FALSE);
    watch_for_the_end();

    ObxPeerDetails details{};
    details.type = OBX_PEER_TYPE_PROBE;
    ObxDiscovery *discovery = obx_discovery_new(details, on_discovery, nullptr);
    obx_discovery_set_verbose(discovery, verbose);
    g_timeout_add(SILENCE_TOLD_AFTER_MS, on_silence_due, nullptr);

    g_main_loop_run(ending.loop);

    obx_discovery_free(discovery);
    g_main_loop_unref(ending.loop);
    if (int signal_number = g_atomic_int_get(&ending.signal))
        end_as(signal_number);
    return ending.status;
}
