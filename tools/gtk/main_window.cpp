// SPDX-License-Identifier: MIT
#include "main_window.h"
#include "cursor_anchor.h"
#include "peer_handoff.h"
#include "peer_list.h"
#include "reach_check.h"
#include "row_actions.h"
#include "save_list.h"
#include "translation.h"

#include <obx_discovery/discovery.h>

namespace {

struct MainWindowPrivate {
    GtkWidget *tree_view;
    DiscoveryPeerList *store;
    ObxPeerDetails details;
    ObxDiscovery *discovery;
    PeerHandoff *handoff;
    GtkWidget *search_bar;
    GtkWidget *search_entry;
    GtkWidget *count;       // how many cameras the list shows
    GtkWidget *placeholder; // over the list while it is empty
    guint silence_timeout;  // until the start-up probes have had their answers
    GtkTreeViewColumn *sorted_by;
};

// The placeholder's texts, by what the instance heard.
const char *silence_text(Silence silence)
{
    switch (silence) {
    case Silence::NO_NETWORK:
        return _("No network\n\nThis computer has no network to look for cameras on.");
    case Silence::NOTHING_HEARD:
        return _("Nothing heard\n\nA firewall may block UDP port 13702, or another discovery "
                 "program may be using it, such as another window of this program.");
    case Silence::ONLY_TOOLS_HEARD:
        return _("No cameras found\n\nNo camera answered on this computer's networks. Cameras "
                 "on another subnet are found only through a broadcast relay on its router.");
    case Silence::NONE:
        break;
    }
    return nullptr;
}

// Shows the number of cameras, and explains an empty list over it.
void update_status(MainWindowPrivate *priv)
{
    GtkTreeModel *model = GTK_TREE_MODEL(priv->store);
    guint all = discovery_peer_list_count(priv->store);
    auto shown = static_cast<guint>(gtk_tree_model_iter_n_children(model, nullptr));
    gchar *count = shown == all
                       ? g_strdup_printf(ngettext("%u camera", "%u cameras", all), all)
                       : g_strdup_printf(ngettext("%u of %u camera", "%u of %u cameras", all),
                                         shown, all);
    guint not_listed = peer_handoff_not_listed(priv->handoff);
    if (not_listed > 0) {
        // TRANSLATORS: the first %s is the count of cameras listed.
        gchar *full = g_strdup_printf(ngettext("%s, list full: %u more heard, not listed "
                                               "(forged senders?)",
                                               "%s, list full: %u more heard, not listed "
                                               "(forged senders?)",
                                               not_listed),
                                      count, not_listed);
        g_free(count);
        count = full;
    }
    gtk_label_set_text(GTK_LABEL(priv->count), count);
    g_free(count);
    gchar *why = not_listed == 0 ? nullptr
                                 : g_strdup_printf(ngettext("The list holds at most %u camera. A "
                                                            "program that forges senders can "
                                                            "fill it; once it stops, Refresh "
                                                            "starts again.",
                                                            "The list holds at most %u cameras. A "
                                                            "program that forges senders can "
                                                            "fill it; once it stops, Refresh "
                                                            "starts again.",
                                                            ROW_LIMITS.listed),
                                                   ROW_LIMITS.listed);
    gtk_widget_set_tooltip_text(priv->count, why);
    g_free(why);

    const char *text = nullptr;
    if (all == 0) {
        text = priv->silence_timeout ? nullptr : silence_text(peer_handoff_silence(priv->handoff));
        if (!text)
            text = _("Looking for cameras\u2026");
    } else if (shown == 0) {
        text = _("No camera matches the search.");
    }
    if (text)
        gtk_label_set_text(GTK_LABEL(priv->placeholder), text);
    gtk_widget_set_visible(priv->placeholder, text != nullptr);
}

void on_rows_added(gpointer user_data)
{
    auto *priv = static_cast<MainWindowPrivate *>(user_data);
    cursor_anchor_restore(GTK_TREE_VIEW(priv->tree_view));
    update_status(priv);
}

gboolean on_silence_due(gpointer user_data)
{
    auto *priv = static_cast<MainWindowPrivate *>(user_data);
    priv->silence_timeout = 0;
    update_status(priv);
    return G_SOURCE_REMOVE;
}

void start_discovery(MainWindowPrivate *priv)
{
    priv->handoff = peer_handoff_new(priv->store, on_rows_added, priv);
    priv->discovery = obx_discovery_new(priv->details, peer_handoff_on_discovery, priv->handoff);
    priv->silence_timeout = g_timeout_add(SILENCE_TOLD_AFTER_MS, on_silence_due, priv);
}

// Frees the instance first: once it returns, no row can be handed over.
void stop_discovery(MainWindowPrivate *priv)
{
    obx_discovery_free(priv->discovery);
    priv->discovery = nullptr;
    peer_handoff_close(priv->handoff);
    priv->handoff = nullptr;
    g_clear_handle_id(&priv->silence_timeout, g_source_remove);
}

// A plain click opens the web interface; with Shift or Ctrl it only selects.
void on_row_activated(GtkTreeView *tree_view, GtkTreePath *path, GtkTreeViewColumn *,
                      gpointer)
{
    GdkModifierType state;
    if (gtk_get_current_event_state(&state) && (state & (GDK_SHIFT_MASK | GDK_CONTROL_MASK)))
        return;
    GtkTreeModel *model = gtk_tree_view_get_model(tree_view);
    g_assert(model != nullptr);
    GtkTreeIter iter;
    if (!gtk_tree_model_get_iter(model, &iter, path))
        return;
    gchar *url = nullptr;
    gtk_tree_model_get(model, &iter, COL_HTTP, &url, -1);
    if (url && *url)
        open_when_reachable(tree_view, url, open_web_interface);
    g_free(url);
}

// The instance goes only once the window is finalized, which another
// reference may put off: until then neither a row nor the silence timer may
// reach the widgets now destroyed.
void on_tree_view_destroy(GtkWidget *, gpointer user_data)
{
    auto *priv = static_cast<MainWindowPrivate *>(user_data);
    peer_handoff_drop_rows(priv->handoff);
    g_clear_handle_id(&priv->silence_timeout, g_source_remove);
    priv->store = nullptr;
}

void show_sort_indicator(MainWindowPrivate *priv, GtkTreeViewColumn *column, GtkSortType order)
{
    if (priv->sorted_by)
        gtk_tree_view_column_set_sort_indicator(priv->sorted_by, FALSE);
    priv->sorted_by = column;
    if (column) {
        gtk_tree_view_column_set_sort_order(column, order);
        gtk_tree_view_column_set_sort_indicator(column, TRUE);
    }
}

// Sorts by the column, or the other way round if the list is sorted by it.
void on_column_clicked(GtkTreeViewColumn *column, MainWindowPrivate *priv)
{
    GtkSortType order = GTK_SORT_ASCENDING;
    if (column == priv->sorted_by && gtk_tree_view_column_get_sort_order(column) == order)
        order = GTK_SORT_DESCENDING;
    show_sort_indicator(priv, column, order);
    int model_column = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(column), "model-column"));
    discovery_peer_list_sort(priv->store, model_column, order);
}

// Filtering changes the rows wholesale: the view lets go of the list
// meanwhile, rather than follow each row that comes or goes.
void on_search_changed(GtkEditable *entry, MainWindowPrivate *priv)
{
    const gchar *text = gtk_entry_get_text(GTK_ENTRY(entry));
    if (!discovery_peer_list_filter_changes(priv->store, text)) {
        discovery_peer_list_filter(priv->store, text);
        return;
    }
    GtkTreeView *view = GTK_TREE_VIEW(priv->tree_view);
    g_object_ref(priv->store); // the view holds the only other reference
    gtk_tree_view_set_model(view, nullptr);
    discovery_peer_list_filter(priv->store, text);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(priv->store));
    g_object_unref(priv->store);
    update_status(priv);
}

// Closing the search shows every row again.
void on_search_mode(GObject *bar, GParamSpec *, MainWindowPrivate *priv)
{
    if (!gtk_search_bar_get_search_mode(GTK_SEARCH_BAR(bar))) {
        gtk_entry_set_text(GTK_ENTRY(priv->search_entry), "");
        gtk_widget_grab_focus(priv->tree_view);
    }
}

// Ctrl+F opens the search, Ctrl+S saves the list; typing in the list starts
// a search.
gboolean on_window_key_press(GtkWidget *, GdkEventKey *event, MainWindowPrivate *priv)
{
    auto bar = GTK_SEARCH_BAR(priv->search_bar);
    GdkModifierType mods = static_cast<GdkModifierType>(
        event->state & gtk_accelerator_get_default_mod_mask());
    if (mods == GDK_CONTROL_MASK && gdk_keyval_to_lower(event->keyval) == GDK_KEY_f) {
        gtk_search_bar_set_search_mode(bar, TRUE);
        // Now, not once the bar has been laid out: the next key is its.
        gtk_widget_realize(priv->search_entry);
        gtk_widget_grab_focus(priv->search_entry);
        return GDK_EVENT_STOP;
    }
    if (mods == GDK_CONTROL_MASK && gdk_keyval_to_lower(event->keyval) == GDK_KEY_s) {
        save_list_ask(GTK_TREE_VIEW(priv->tree_view));
        return GDK_EVENT_STOP;
    }
    // Only a visible character: the list keeps Space, the arrows and its
    // shortcuts, the Menu key and Shift+F10 among them.
    gunichar typed = gdk_keyval_to_unicode(event->keyval);
    if (!gtk_widget_has_focus(priv->tree_view) || !g_unichar_isgraph(typed) ||
        (mods & (GDK_CONTROL_MASK | GDK_MOD1_MASK)))
        return GDK_EVENT_PROPAGATE;
    return gtk_search_bar_handle_event(bar, reinterpret_cast<GdkEvent *>(event));
}

// Gives the view a new, empty store, shown unsorted and filtered by the
// search. The old one goes in an iteration of its own, so that neither the
// view's teardown of a long list nor the freeing of its rows holds a frame
// long. Clearing it in place would be slower still: the view follows each
// removal.
void replace_store(MainWindowPrivate *priv)
{
    GtkTreeView *view = GTK_TREE_VIEW(priv->tree_view);
    if (GtkTreeModel *old = gtk_tree_view_get_model(view))
        g_idle_add_once(g_object_unref, g_object_ref(old));
    priv->store = discovery_peer_list_new();
    cursor_anchor_watch(view, GTK_TREE_MODEL(priv->store));
    discovery_peer_list_filter(priv->store, gtk_entry_get_text(GTK_ENTRY(priv->search_entry)));
    show_sort_indicator(priv, nullptr, GTK_SORT_ASCENDING);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(priv->store));
    g_object_unref(priv->store);
}

void on_refresh_clicked(GtkWidget *, MainWindowPrivate *priv)
{
    reach_checks_cancel(GTK_TREE_VIEW(priv->tree_view));
    replace_store(priv);
    stop_discovery(priv);
    start_discovery(priv);
    update_status(priv);
}

void priv_free(gpointer data)
{
    auto *priv = static_cast<MainWindowPrivate *>(data);
    stop_discovery(priv);
    g_free(priv);
}

// A column as wide as a typical text of its kind, which the user may widen;
// the last one takes the rest of the window. Longer texts end in an ellipsis.
// A click on its header sorts by it.
GtkTreeViewColumn *create_column(MainWindowPrivate *priv, int column)
{
    // Together about as wide as the window's default width.
    static const char *const typical[NUM_COLS] = {"Camera at the gate", "255.255.255.255",
                                                  "http://255.255.255.255/",
                                                  "rtsp://255.255.255.255/"};
    GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
    g_object_set(renderer, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
    GtkTreeViewColumn *result = gtk_tree_view_column_new_with_attributes(
        _(COLUMN_TITLES[column]), renderer, "text", column, nullptr);

    PangoLayout *layout = gtk_widget_create_pango_layout(priv->tree_view, typical[column]);
    int width;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    constexpr int PADDING = 16; // the cell's and the column's, with room to spare
    gtk_tree_view_column_set_sizing(result, GTK_TREE_VIEW_COLUMN_FIXED);
    gtk_tree_view_column_set_fixed_width(result, width + PADDING);
    gtk_tree_view_column_set_resizable(result, TRUE);
    gtk_tree_view_column_set_expand(result, column == NUM_COLS - 1);

    // The model sorts itself: GTK's sorting would want a GtkTreeSortable.
    gtk_tree_view_column_set_clickable(result, TRUE);
    g_object_set_data(G_OBJECT(result), "model-column", GINT_TO_POINTER(column));
    g_signal_connect(result, "clicked", G_CALLBACK(on_column_clicked), priv);
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
    gtk_tree_view_set_enable_search(view, FALSE); // the search bar finds instead
    gtk_tree_selection_set_mode(gtk_tree_view_get_selection(view), GTK_SELECTION_MULTIPLE);
    g_signal_connect(view, "row-activated", G_CALLBACK(on_row_activated), priv);
    g_signal_connect(view, "destroy", G_CALLBACK(on_tree_view_destroy), priv);
    row_actions_attach(view);

    for (int column = 0; column < NUM_COLS; ++column)
        gtk_tree_view_insert_column(view, create_column(priv, column), column);
    // Every row is one line high, so the view need not measure each new one.
    gtk_tree_view_set_fixed_height_mode(view, TRUE);
    replace_store(priv);

    gtk_container_add(GTK_CONTAINER(scrolled), priv->tree_view);
    return scrolled;
}

// The list, with a text over it while it is empty. The text is an overlay,
// so that the list stays where screen readers find it.
GtkWidget *create_list_with_placeholder(MainWindowPrivate *priv)
{
    GtkWidget *overlay = gtk_overlay_new();
    gtk_container_add(GTK_CONTAINER(overlay), create_view_and_model(priv));
    priv->placeholder = gtk_label_new(nullptr);
    GtkLabel *label = GTK_LABEL(priv->placeholder);
    gtk_label_set_line_wrap(label, TRUE);
    gtk_label_set_max_width_chars(label, 50);
    gtk_label_set_justify(label, GTK_JUSTIFY_CENTER);
    gtk_widget_set_valign(priv->placeholder, GTK_ALIGN_CENTER);
    gtk_widget_set_halign(priv->placeholder, GTK_ALIGN_CENTER);
    gtk_widget_set_no_show_all(priv->placeholder, TRUE);
    gtk_style_context_add_class(gtk_widget_get_style_context(priv->placeholder), "dim-label");
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), priv->placeholder);
    gtk_overlay_set_overlay_pass_through(GTK_OVERLAY(overlay), priv->placeholder, TRUE);
    return overlay;
}

GtkWidget *create_search_bar(MainWindowPrivate *priv)
{
    priv->search_bar = gtk_search_bar_new();
    priv->search_entry = gtk_search_entry_new();
    gtk_entry_set_width_chars(GTK_ENTRY(priv->search_entry), 30);
    gtk_entry_set_placeholder_text(GTK_ENTRY(priv->search_entry), _("Name or IP address"));
    atk_object_set_name(gtk_widget_get_accessible(priv->search_entry), _("Find cameras"));
    gtk_container_add(GTK_CONTAINER(priv->search_bar), priv->search_entry);
    gtk_search_bar_connect_entry(GTK_SEARCH_BAR(priv->search_bar), GTK_ENTRY(priv->search_entry));
    gtk_search_bar_set_show_close_button(GTK_SEARCH_BAR(priv->search_bar), TRUE);
    // At once, not after the search entry's pause: filtering is fast.
    g_signal_connect(priv->search_entry, "changed", G_CALLBACK(on_search_changed), priv);
    g_signal_connect(priv->search_bar, "notify::search-mode-enabled",
                     G_CALLBACK(on_search_mode), priv);
    return priv->search_bar;
}

GtkWidget *create_toolbar(MainWindowPrivate *priv)
{
    GtkWidget *toolbar = gtk_toolbar_new();
    GtkToolItem *refresh = gtk_tool_button_new(nullptr, nullptr);
    gtk_tool_button_set_icon_name(GTK_TOOL_BUTTON(refresh), "view-refresh");
    gtk_toolbar_insert(GTK_TOOLBAR(toolbar), refresh, -1);
    gtk_widget_set_halign(toolbar, GTK_ALIGN_START);
    gtk_widget_set_margin_bottom(toolbar, 1);
    gtk_widget_set_tooltip_text(GTK_WIDGET(refresh), _("Refresh"));
    // An icon alone gives a screen reader nothing to say.
    atk_object_set_name(gtk_widget_get_accessible(gtk_bin_get_child(GTK_BIN(refresh))), _("Refresh"));
    g_signal_connect(refresh, "clicked", G_CALLBACK(on_refresh_clicked), priv);

    GtkToolItem *count = gtk_tool_item_new();
    priv->count = gtk_label_new(nullptr);
    gtk_widget_set_margin_start(priv->count, 6);
    gtk_container_add(GTK_CONTAINER(count), priv->count);
    gtk_toolbar_insert(GTK_TOOLBAR(toolbar), count, -1);
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
    GtkWidget *search = create_search_bar(priv);
    GtkWidget *list = create_list_with_placeholder(priv);
    gtk_container_add(GTK_CONTAINER(window), box);
    gtk_box_pack_start(GTK_BOX(box), search, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), list, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), create_toolbar(priv), FALSE, FALSE, 0);
    g_signal_connect(window, "key-press-event", G_CALLBACK(on_window_key_press), priv);

    priv->details = ObxPeerDetails{};
    priv->details.type = OBX_PEER_TYPE_PROBE;
    start_discovery(priv);
    update_status(priv);
    return window;
}
