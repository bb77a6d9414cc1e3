// SPDX-License-Identifier: MIT
#include "main_window.h"
#include "row_texts.h"

#include <obx_discovery/discovery.h>

namespace {

// Where the rows of one discovery instance go. The listener thread only
// holds references to it; store is read and cleared on the main thread
// alone, and is NULL once the rows would no longer be wanted: the view is
// gone, or a refresh replaced the instance.
struct RowSink {
    GtkListStore *store;
};

struct MainWindowPrivate {
    GtkWidget *tree_view;
    GtkListStore *store;
    ObxPeerDetails details;
    ObxDiscovery *discovery;
    RowSink *sink;
};

// One discovered peer on its way from the listener thread to the main loop.
struct PeerRow {
    RowSink *sink;
    gchar *texts[NUM_COLS];
};

RowSink *row_sink_new(GtkListStore *store)
{
    RowSink *sink = g_atomic_rc_box_new0(RowSink);
    sink->store = store;
    return sink;
}

void row_sink_close(RowSink *sink)
{
    sink->store = nullptr;
    g_atomic_rc_box_release(sink);
}

void peer_row_free(gpointer data)
{
    auto *row = static_cast<PeerRow *>(data);
    row_texts_clear(row->texts);
    g_atomic_rc_box_release(row->sink);
    g_free(row);
}

gboolean append_row(gpointer data)
{
    auto *row = static_cast<PeerRow *>(data);
    if (row->sink->store) {
        gtk_list_store_insert_with_values(row->sink->store, nullptr, -1,
                                          COL_NAME, row->texts[COL_NAME],
                                          COL_ADDRESS, row->texts[COL_ADDRESS],
                                          COL_HTTP, row->texts[COL_HTTP],
                                          COL_RTSP, row->texts[COL_RTSP], -1);
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

    PeerRow *row = g_new0(PeerRow, 1);
    row->sink = static_cast<RowSink *>(g_atomic_rc_box_acquire(priv->sink));
    row_texts_init(row->texts, address_string, details);
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, append_row, row, peer_row_free);
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

// A peer chooses the URL it announces: opening any scheme with the desktop's
// default handler would let it start whatever program claims that scheme.
gboolean is_web_address(const gchar *url)
{
    gchar *scheme = g_uri_parse_scheme(url);
    gboolean web = scheme && (g_ascii_strcasecmp(scheme, "http") == 0 ||
                              g_ascii_strcasecmp(scheme, "https") == 0);
    g_free(scheme);
    return web;
}

void open_web_interface(const gchar *url)
{
    if (!is_web_address(url)) {
        gchar *shown = g_strescape(url, nullptr);
        g_printerr("not opening \"%s\": not an http or https address\n", shown);
        g_free(shown);
        return;
    }
    gtk_show_uri_on_window(nullptr, url, GDK_CURRENT_TIME, nullptr);
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

void on_refresh_clicked(GtkWidget *, MainWindowPrivate *priv)
{
    gtk_list_store_clear(priv->store);
    stop_discovery(priv);
    start_discovery(priv);
}

void priv_free(gpointer data)
{
    auto *priv = static_cast<MainWindowPrivate *>(data);
    stop_discovery(priv);
    g_free(priv);
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

    static const char *const titles[NUM_COLS] = {"Name", "IP Addess", "Web UI", "Videofeed"};
    for (int column = 0; column < NUM_COLS; ++column) {
        gtk_tree_view_insert_column_with_attributes(view, column, titles[column],
                                                    gtk_cell_renderer_text_new(), "text",
                                                    column, nullptr);
    }

    priv->store = gtk_list_store_new(NUM_COLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                     G_TYPE_STRING);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(priv->store));
    g_object_unref(priv->store);

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
