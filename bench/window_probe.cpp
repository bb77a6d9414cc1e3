// SPDX-License-Identifier: MIT
// Loaded into ombrix-discovery-gtk with LD_PRELOAD by the benchmark, to time
// the window as users run it, from inside its main loop. It notes each
// main-loop iteration that changed the length of the list, and answers
// commands on standard input, one line each:
//   rows N     once the list holds N rows: "rows COUNT at MONOTONIC-MICROSECONDS
//              longest MICROSECONDS", when the iteration that reached N ended
//              and the longest iteration from the first row until then
//   refresh    clicks the refresh button: "refreshed in MICROSECONDS library
//              MICROSECONDS", how long the click held the main thread and
//              how much of that obx_discovery_free and obx_discovery_new took;
//              then times the list afresh
//   longest    "longest MICROSECONDS", the longest iteration since the last
//              refresh ended
//   sort N     clicks the header of column N: "drawn in MICROSECONDS", from
//              the click until the next frame was painted
//   search T   opens the search bar and sets its text to T, as a keystroke
//              does: "drawn in MICROSECONDS", likewise
#include <obx_discovery/discovery.h>

#include <gtk/gtk.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Change {
    int rows;
    gint64 at;
    gint64 longest; // iteration, since the first row
};

struct Probe {
    gint64 iteration_start = 0; // when the running iteration's poll returned
    gint64 longest = 0;
    gint64 longest_since_refresh = 0;
    std::vector<Change> changes;
    int awaited = -1; // rows asked for and not reached yet
    gint64 library_time = 0;
    GtkTreeView *list = nullptr;
    GtkToolButton *refresh = nullptr;
    GtkSearchBar *search_bar = nullptr;
    GtkEntry *search_entry = nullptr;
    gint64 drawing_since = 0; // when the change that awaits its frame began
} probe;

void find_widgets(GtkWidget *widget, gpointer)
{
    if (GTK_IS_TREE_VIEW(widget))
        probe.list = GTK_TREE_VIEW(widget);
    if (GTK_IS_TOOL_BUTTON(widget))
        probe.refresh = GTK_TOOL_BUTTON(widget);
    if (GTK_IS_SEARCH_BAR(widget))
        probe.search_bar = GTK_SEARCH_BAR(widget);
    if (GTK_IS_SEARCH_ENTRY(widget))
        probe.search_entry = GTK_ENTRY(widget);
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), find_widgets, nullptr);
}

int list_rows()
{
    if (!probe.list) {
        GList *windows = gtk_window_list_toplevels();
        g_list_foreach(windows, reinterpret_cast<GFunc>(find_widgets), nullptr);
        g_list_free(windows);
    }
    GtkTreeModel *model = probe.list ? gtk_tree_view_get_model(probe.list) : nullptr;
    return model ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
}

void answer_rows(const Change &reached)
{
    printf("rows %d at %" G_GINT64_FORMAT " longest %" G_GINT64_FORMAT "\n", reached.rows,
           reached.at, reached.longest);
    fflush(stdout);
    probe.awaited = -1;
}

void note_iteration(gint64 now)
{
    gint64 duration = now - probe.iteration_start;
    int rows = list_rows();
    probe.longest_since_refresh = std::max(probe.longest_since_refresh, duration);
    if (!probe.changes.empty())
        probe.longest = std::max(probe.longest, duration);
    if (probe.changes.empty() ? rows == 0 : rows == probe.changes.back().rows)
        return;
    if (probe.changes.empty())
        probe.longest = duration;
    probe.changes.push_back({rows, now, probe.longest});
    if (probe.awaited >= 0 && rows >= probe.awaited)
        answer_rows(probe.changes.back());
}

gint timed_poll(GPollFD *fds, guint count, gint timeout)
{
    if (probe.iteration_start)
        note_iteration(g_get_monotonic_time());
    gint ready = g_poll(fds, count, timeout);
    probe.iteration_start = g_get_monotonic_time();
    return ready;
}

void await_rows(int rows)
{
    probe.awaited = rows;
    for (const Change &change : probe.changes)
        if (change.rows >= rows)
            return answer_rows(change);
}

void click_refresh()
{
    probe.library_time = 0;
    gint64 start = g_get_monotonic_time();
    g_signal_emit_by_name(probe.refresh, "clicked");
    printf("refreshed in %" G_GINT64_FORMAT " library %" G_GINT64_FORMAT "\n",
           g_get_monotonic_time() - start, probe.library_time);
    fflush(stdout);
    probe.changes.clear();
    probe.longest = 0;
    probe.longest_since_refresh = 0;
    probe.iteration_start = g_get_monotonic_time();
}

void answer_longest()
{
    printf("longest %" G_GINT64_FORMAT "\n", probe.longest_since_refresh);
    fflush(stdout);
}

void on_after_paint(GdkFrameClock *clock, gpointer)
{
    printf("drawn in %" G_GINT64_FORMAT "\n", g_get_monotonic_time() - probe.drawing_since);
    fflush(stdout);
    g_signal_handlers_disconnect_by_func(clock, reinterpret_cast<gpointer>(on_after_paint),
                                         nullptr);
}

// Runs change, then answers once the next frame is painted.
template <typename Change>
void time_until_drawn(Change change)
{
    probe.drawing_since = g_get_monotonic_time();
    change();
    GtkWidget *list = GTK_WIDGET(probe.list);
    g_signal_connect(gtk_widget_get_frame_clock(list), "after-paint", G_CALLBACK(on_after_paint),
                     nullptr);
    gtk_widget_queue_draw(list);
}

gboolean on_command(GIOChannel *input, GIOCondition, gpointer)
{
    gchar *line = nullptr;
    if (g_io_channel_read_line(input, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL)
        return G_SOURCE_REMOVE;
    int rows, column;
    if (sscanf(line, "rows %d", &rows) == 1) {
        await_rows(rows);
    } else if (g_str_equal(line, "refresh\n") && probe.refresh) {
        click_refresh();
    } else if (g_str_equal(line, "longest\n")) {
        answer_longest();
    } else if (sscanf(line, "sort %d", &column) == 1 && probe.list) {
        GtkTreeViewColumn *header = gtk_tree_view_get_column(probe.list, column);
        time_until_drawn([&] { gtk_tree_view_column_clicked(header); });
    } else if (g_str_has_prefix(line, "search ") && probe.search_entry) {
        const gchar *text = g_strchomp(line) + strlen("search ");
        time_until_drawn([&] {
            gtk_search_bar_set_search_mode(probe.search_bar, TRUE);
            gtk_entry_set_text(probe.search_entry, text);
        });
    } else {
        fprintf(stderr, "window probe: unknown command: %s", line);
    }
    g_free(line);
    return G_SOURCE_CONTINUE;
}

template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void install()
{
    g_main_context_set_poll_func(g_main_context_default(), timed_poll);
    g_io_add_watch(g_io_channel_unix_new(0), GIOCondition(G_IO_IN | G_IO_HUP), on_command, nullptr);
}

} // namespace

// The library's entry points, timed on their way through.
ObxDiscovery *obx_discovery_new(ObxPeerDetails details, ObxDiscoveryFunc callback, void *user_data)
{
    static auto real = next_definition<decltype(&obx_discovery_new)>("obx_discovery_new");
    gint64 start = g_get_monotonic_time();
    ObxDiscovery *instance = real(details, callback, user_data);
    probe.library_time += g_get_monotonic_time() - start;
    return instance;
}

void obx_discovery_free(ObxDiscovery *instance)
{
    static auto real = next_definition<decltype(&obx_discovery_free)>("obx_discovery_free");
    gint64 start = g_get_monotonic_time();
    real(instance);
    probe.library_time += g_get_monotonic_time() - start;
}
