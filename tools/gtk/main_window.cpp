// SPDX-License-Identifier: MIT
#include "main_window.h"
#include "peer_list.h"
#include "row_actions.h"
#include "row_texts.h"

#include <obx_discovery/discovery.h>

namespace {

// How long one dispatch may spend adding rows, so that a frame (16 ms) keeps
// room for input and drawing while a large site answers.
constexpr gint64 ROWS_BUDGET_US = 8000;

// Where the rows of one discovery instance go. The listener thread queues
// them in arrived and schedules one dispatch for all that wait; the main
// thread adds them to store, which it alone touches. store is NULL once the
// rows would no longer be wanted: the view is gone, or a refresh replaced
// the instance.
struct RowSink {
    DiscoveryPeerList *store;
    GMutex lock;
    GQueue arrived;     // of PeerRow, guarded by lock
    gboolean scheduled; // guarded by lock: a dispatch will take arrived
};

struct MainWindowPrivate {
    GtkWidget *tree_view;
    DiscoveryPeerList *store;
    ObxPeerDetails details;
    ObxDiscovery *discovery;
    RowSink *sink;
};

// One discovered peer on its way from the listener thread to the main loop.
struct PeerRow {
    gchar *texts[NUM_COLS];
};

void peer_row_free(gpointer data)
{
    auto *row = static_cast<PeerRow *>(data);
    row_texts_clear(row->texts);
    g_free(row);
}

RowSink *row_sink_new(DiscoveryPeerList *store)
{
    RowSink *sink = g_atomic_rc_box_new0(RowSink);
    sink->store = store;
    g_mutex_init(&sink->lock);
    return sink;
}

void row_sink_clear(gpointer data)
{
    auto *sink = static_cast<RowSink *>(data);
    g_queue_clear_full(&sink->arrived, peer_row_free);
    g_mutex_clear(&sink->lock);
}

void row_sink_release(gpointer sink)
{
    g_atomic_rc_box_release_full(sink, row_sink_clear);
}

void row_sink_close(RowSink *sink)
{
    sink->store = nullptr;
    row_sink_release(sink);
}

// The next row that arrived, or NULL when none waits; then the next row
// schedules a dispatch again.
PeerRow *row_sink_take(RowSink *sink)
{
    g_mutex_lock(&sink->lock);
    auto *row = static_cast<PeerRow *>(g_queue_pop_head(&sink->arrived));
    if (!row)
        sink->scheduled = FALSE;
    g_mutex_unlock(&sink->lock);
    return row;
}

gboolean append_rows(gpointer data)
{
    auto *sink = static_cast<RowSink *>(data);
    gint64 deadline = g_get_monotonic_time() + ROWS_BUDGET_US;
    while (PeerRow *row = row_sink_take(sink)) {
        if (sink->store)
            discovery_peer_list_append(sink->store, row->texts);
        peer_row_free(row);
        if (g_get_monotonic_time() >= deadline)
            return G_SOURCE_CONTINUE;
    }
    return G_SOURCE_REMOVE;
}

// Runs on the library's listener thread: copies the texts and hands them to
// the main loop without waiting for it, since the main thread may itself be
// waiting for this thread in obx_discovery_free().
void on_discovery(const char *address_string, ObxPeerDetails details, void *user_data)
{
    auto *priv = static_cast<MainWindowPrivate *>(user_data);
    if (details.type == OBX_PEER_TYPE_PROBE)
        return;

    PeerRow *row = g_new(PeerRow, 1);
    row_texts_init(row->texts, address_string, details);
    RowSink *sink = priv->sink;
    g_mutex_lock(&sink->lock);
    g_queue_push_tail(&sink->arrived, row);
    gboolean schedule = !sink->scheduled;
    sink->scheduled = TRUE;
    g_mutex_unlock(&sink->lock);
    if (schedule) {
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, append_rows, g_atomic_rc_box_acquire(sink),
                        row_sink_release);
    }
}

void start_discovery(MainWindowPrivate *priv)
{
    priv->sink = row_sink_new(priv->store);
    priv->discovery = obx_discovery_new(priv->details, on_discovery, priv);
}

// Frees the instance first: once it returns, no row can be handed over.
void stop_discovery(MainWindowPrivate *priv)
{
    obx_discovery_free(priv->discovery);
    priv->discovery = nullptr;
    row_sink_close(priv->sink);
    priv->sink = nullptr;
}

void on_row_activated(GtkTreeView *tree_view, GtkTreePath *path, GtkTreeViewColumn *,
                      gpointer)
{
    GtkTreeModel *model = gtk_tree_view_get_model(tree_view);
    g_assert(model != nullptr);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(model, &iter, path))
        return;
    gchar *url = nullptr;
    gtk_tree_model_get(model, &iter, COL_HTTP, &url, -1);
    if (url && *url)
        open_web_interface(url);
    g_free(url);
}

void on_tree_view_destroy(GtkWidget *, gpointer user_data)
{
    auto *priv = static_cast<MainWindowPrivate *>(user_data);
    priv->sink->store = nullptr;
    priv->store = nullptr;
}

gboolean release_later(gpointer)
{
    return G_SOURCE_REMOVE; // the source's destroy notification releases
}

// Gives the view a new, empty store. The old one goes in an iteration of its
// own, so that neither the view's teardown of a long list nor the freeing of
// its rows holds a frame long. Clearing it in place would be slower still:
// the view follows each removal.
void replace_store(MainWindowPrivate *priv)
{
    GtkTreeView *view = GTK_TREE_VIEW(priv->tree_view);
    if (GtkTreeModel *old = gtk_tree_view_get_model(view))
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, release_later, g_object_ref(old), g_object_unref);
    priv->store = discovery_peer_list_new();
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(priv->store));
    g_object_unref(priv->store);
}

void on_refresh_clicked(GtkWidget *, MainWindowPrivate *priv)
{
    replace_store(priv);
    stop_discovery(priv);
    start_discovery(priv);
}

void priv_free(gpointer data)
{
    auto *priv = static_cast<MainWindowPrivate *>(data);
    stop_discovery(priv);
    g_free(priv);
}

// A column as wide as a typical text of its kind, which the user may widen;
// the last one takes the rest of the window. Longer texts end in an ellipsis.
GtkTreeViewColumn *create_column(GtkWidget *view, int column)
{
    static const char *const titles[NUM_COLS] = {"Name", "IP Addess", "Web UI", "Videofeed"};
    // Together about as wide as the window's default width.
    static const char *const typical[NUM_COLS] = {"Camera at the gate", "255.255.255.255",
                                                  "http://255.255.255.255/",
                                                  "rtsp://255.255.255.255/"};
    GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
    g_object_set(renderer, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
    GtkTreeViewColumn *result =
        gtk_tree_view_column_new_with_attributes(titles[column], renderer, "text", column, nullptr);

    PangoLayout *layout = gtk_widget_create_pango_layout(view, typical[column]);
    int width;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    constexpr int PADDING = 16; // the cell's and the column's, with room to spare
    gtk_tree_view_column_set_sizing(result, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(result, width + PADDING);
    gtk_tree_view_column_set_resizable(result, TRUE);
    gtk_tree_view_column_set_expand(result, column == NUM_COLS - 1);
    return result;
}

GtkWidget *create_view_and_model(MainWindowPrivate *priv)
{
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_ETCHED_IN);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);

    priv->tree_view = gtk_tree_view_new();
    GtkTreeView *view = GTK_TREE_VIEW(priv->tree_view);
    gtk_tree_view_set_activate_on_single_click(view, TRUE);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), priv);
    g_signal_connect(view, "destroy", G_CALLBACK(on_tree_view_destroy), priv);
    row_actions_attach_menu(view);

    for (int column = 0; column < NUM_COLS; ++column)
        gtk_tree_view_insert_column(view, create_column(priv->tree_view, column), column);
    // Every row is one line high, so the view need not measure each new one.
    gtk_tree_view_set_fixed_height_mode(view, TRUE);
    replace_store(priv);

    gtk_container_add(GTK_CONTAINER(scrolled), priv->tree_view);
    return scrolled;
}

GtkWidget *create_toolbar(MainWindowPrivate *priv)
{
    GtkWidget *toolbar = gtk_toolbar_new();
    GtkToolItem *refresh = gtk_tool_button_new(nullptr, nullptr);
    gtk_tool_button_set_icon_name(GTK_TOOL_BUTTON(refresh), "view-refresh");
    gtk_toolbar_insert(GTK_TOOLBAR(toolbar), refresh, -1);
    gtk_widget_set_halign(toolbar, GTK_ALIGN_START);
    gtk_widget_set_margin_bottom(toolbar, 1);
    gtk_widget_set_tooltip_text(GTK_WIDGET(refresh), "Refresh");
    // An icon alone gives a screen reader nothing to say.
    atk_object_set_name(gtk_widget_get_accessible(gtk_bin_get_child(GTK_BIN(refresh))), "Refresh");
    g_signal_connect(refresh, "clicked", G_CALLBACK(on_refresh_clicked), priv);
    return toolbar;
}

} // namespace

GtkWidget *discovery_main_window_new(GtkApplication *app)
{
    GtkWidget *window = gtk_application_window_new(app);
    MainWindowPrivate *priv = g_new0(MainWindowPrivate, 1);
    g_object_set_data_full(G_OBJECT(window), "priv", priv, priv_free);

    gtk_window_set_title(GTK_WINDOW(window), "Ombrix Discovery Tool");
    gtk_window_set_default_size(GTK_WINDOW(window), 600, 400);

    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    GtkWidget *list = create_view_and_model(priv);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_box_pack_start(GTK_BOX(box), list, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), create_toolbar(priv), FALSE, FALSE, 0);

    priv->details = ObxPeerDetails{};
    priv->details.type = OBX_PEER_TYPE_PROBE;
    start_discovery(priv);
    return window;
}
