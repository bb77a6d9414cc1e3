// SPDX-License-Identifier: MIT
#include "row_actions.h"
#include "row_texts.h"

namespace {

struct MenuEntry {
    const char *label;
    RowColumn column; // the text it acts on
    gboolean opens;   // opens the text, rather than copying it
};

const MenuEntry MENU_ENTRIES[] = {
    {"Open Web Interface", COL_HTTP, TRUE},
    {"Copy Web Interface Address", COL_HTTP, FALSE},
    {"Copy Video Stream Address", COL_RTSP, FALSE},
    {"Copy IP Address", COL_ADDRESS, FALSE},
};
constexpr int N_MENU_ENTRIES = G_N_ELEMENTS(MENU_ENTRIES);

// A view's menu, with the texts of the row it was last opened on.
struct RowMenu {
    GtkWidget *menu;
    GtkWidget *items[N_MENU_ENTRIES];
    gchar *texts[NUM_COLS];
};

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

void row_menu_free(gpointer data)
{
    auto *menu = static_cast<RowMenu *>(data);
    row_texts_clear(menu->texts);
    g_free(menu);
}

void on_item_activate(GtkMenuItem *item, RowMenu *menu)
{
    int i = 0;
    while (menu->items[i] != GTK_WIDGET(item))
        ++i;
    const gchar *text = menu->texts[MENU_ENTRIES[i].column];
    if (MENU_ENTRIES[i].opens)
        open_web_interface(text);
    else
        gtk_clipboard_set_text(gtk_widget_get_clipboard(GTK_WIDGET(item), GDK_SELECTION_CLIPBOARD),
                               text, -1);
}

// Takes the texts of the row at path; an entry with nothing to act on is
// insensitive.
gboolean prepare(RowMenu *menu, GtkTreeView *view, GtkTreePath *path)
{
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    GtkTreeIter iter;
    if (!model || !gtk_tree_model_get_iter(model, &iter, path))
        return FALSE;
    row_texts_clear(menu->texts);
    gtk_tree_model_get(model, &iter, COL_NAME, &menu->texts[COL_NAME], COL_ADDRESS,
                       &menu->texts[COL_ADDRESS], COL_HTTP, &menu->texts[COL_HTTP], COL_RTSP,
                       &menu->texts[COL_RTSP], -1);
    for (int i = 0; i < N_MENU_ENTRIES; ++i) {
        const gchar *text = menu->texts[MENU_ENTRIES[i].column];
        gtk_widget_set_sensitive(menu->items[i], *text && (!MENU_ENTRIES[i].opens ||
                                                           is_web_address(text)));
    }
    return TRUE;
}

gboolean on_button_press(GtkWidget *widget, GdkEventButton *event, RowMenu *menu)
{
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    GtkTreePath *path = nullptr;
    if (!gdk_event_triggers_context_menu(reinterpret_cast<GdkEvent *>(event)) ||
        event->window != gtk_tree_view_get_bin_window(view) ||
        !gtk_tree_view_get_path_at_pos(view, static_cast<gint>(event->x),
                                       static_cast<gint>(event->y), &path, nullptr, nullptr,
                                       nullptr))
        return GDK_EVENT_PROPAGATE;
    gtk_tree_view_set_cursor(view, path, nullptr, FALSE); // shows the row it is for
    if (prepare(menu, view, path))
        gtk_menu_popup_at_pointer(GTK_MENU(menu->menu), reinterpret_cast<GdkEvent *>(event));
    gtk_tree_path_free(path);
    return GDK_EVENT_STOP;
}

// The Menu key or Shift+F10: the menu of the row with the cursor, below it,
// its first usable entry selected for the keyboard.
gboolean on_popup_menu(GtkWidget *widget, RowMenu *menu)
{
    GtkTreeView *view = GTK_TREE_VIEW(widget);
    GtkTreePath *path = nullptr;
    gtk_tree_view_get_cursor(view, &path, nullptr);
    if (!path)
        return FALSE;
    gboolean shown = prepare(menu, view, path);
    if (shown) {
        GdkRectangle row;
        gtk_tree_view_get_cell_area(view, path, nullptr, &row);
        gtk_menu_popup_at_rect(GTK_MENU(menu->menu), gtk_tree_view_get_bin_window(view), &row,
                               GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
        gtk_menu_shell_select_first(GTK_MENU_SHELL(menu->menu), TRUE);
    }
    gtk_tree_path_free(path);
    return shown;
}

} // namespace

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

void row_actions_attach_menu(GtkTreeView *view)
{
    RowMenu *menu = g_new0(RowMenu, 1);
    menu->menu = gtk_menu_new();
    for (int i = 0; i < N_MENU_ENTRIES; ++i) {
        menu->items[i] = gtk_menu_item_new_with_label(MENU_ENTRIES[i].label);
        g_signal_connect(menu->items[i], "activate", G_CALLBACK(on_item_activate), menu);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu->menu), menu->items[i]);
    }
    gtk_widget_show_all(menu->menu);
    gtk_menu_attach_to_widget(GTK_MENU(menu->menu), GTK_WIDGET(view), nullptr);
    g_object_set_data_full(G_OBJECT(view), "row-menu", menu, row_menu_free);
    g_signal_connect(view, "button-press-event", G_CALLBACK(on_button_press), menu);
    g_signal_connect(view, "popup-menu", G_CALLBACK(on_popup_menu), menu);
}
