// SPDX-License-Identifier: MIT
#include "row_actions.h"
#include "peer_list.h"
#include "reach_check.h"
#include "save_list.h"
#include "translation.h"
#include "url_scheme.h"
#include "video_stream.h"

namespace {

enum class Action { OPEN_WEB, OPEN_STREAM, COPY_TEXT, COPY_SELECTED_ROWS, SAVE_LIST };

struct MenuEntry {
    const char *label;
    Action action;
    RowColumn column; // the text it opens or copies
    guint key;        // its shortcut with Ctrl, shown beside it; or 0
};

const MenuEntry MENU_ENTRIES[] = {
    {N_("Open Web Interface"), Action::OPEN_WEB, COL_HTTP, 0},
    {N_("Open Video Stream"), Action::OPEN_STREAM, COL_RTSP, GDK_KEY_Return},
    {N_("Copy Web Interface Address"), Action::COPY_TEXT, COL_HTTP, 0},
    {N_("Copy Video Stream Address"), Action::COPY_TEXT, COL_RTSP, 0},
    {N_("Copy IP Address"), Action::COPY_TEXT, COL_ADDRESS, 0},
    {N_("Copy Selected Rows"), Action::COPY_SELECTED_ROWS, NUM_COLS, GDK_KEY_c},
    {N_("Save List\u2026"), Action::SAVE_LIST, NUM_COLS, GDK_KEY_s},
};
constexpr int N_MENU_ENTRIES = G_N_ELEMENTS(MENU_ENTRIES);

// A view's menu, with the texts of the row it was last opened on.
struct RowMenu {
    GtkTreeView *view;
    GtkWidget *menu;
    GtkWidget *items[N_MENU_ENTRIES];
    RowTexts row;
};

gboolean is_web_address(const gchar *url)
{
    return url_scheme_is_one_of(url, {"http", "https"});
}

void row_menu_free(gpointer data)
{
    auto *menu = static_cast<RowMenu *>(data);
    row_texts_clear(&menu->row);
    g_free(menu);
}

void copy_text(GtkWidget *widget, const gchar *text)
{
    gtk_clipboard_set_text(gtk_widget_get_clipboard(widget, GDK_SELECTION_CLIPBOARD), text, -1);
}

// The selected rows, as lines for a spreadsheet, on the clipboard.
void copy_selected_rows(GtkTreeView *view)
{
    GtkTreeModel *model = nullptr;
    GList *paths = gtk_tree_selection_get_selected_rows(gtk_tree_view_get_selection(view), &model);
    if (!paths || !DISCOVERY_IS_PEER_LIST(model)) {
        g_list_free_full(paths, reinterpret_cast<GDestroyNotify>(gtk_tree_path_free));
        return;
    }
    GString *lines = g_string_new(nullptr);
    for (GList *path = paths; path; path = path->next) {
        auto *tree_path = static_cast<GtkTreePath *>(path->data);
        row_texts_append_tsv(discovery_peer_list_row(DISCOVERY_PEER_LIST(model), tree_path), lines);
    }
    g_list_free_full(paths, reinterpret_cast<GDestroyNotify>(gtk_tree_path_free));
    copy_text(GTK_WIDGET(view), lines->str);
    g_string_free(lines, TRUE);
}

void on_item_activate(GtkMenuItem *item, RowMenu *menu)
{
    int i = 0;
    while (menu->items[i] != GTK_WIDGET(item))
        ++i;
    const MenuEntry &entry = MENU_ENTRIES[i];
    switch (entry.action) {
    case Action::OPEN_WEB:
        open_when_reachable(menu->view, menu->row.text[entry.column], open_web_interface);
        break;
    case Action::OPEN_STREAM:
        open_when_reachable(menu->view, menu->row.text[entry.column], open_video_stream);
        break;
    case Action::COPY_TEXT:
        copy_text(GTK_WIDGET(item), menu->row.text[entry.column]);
        break;
    case Action::COPY_SELECTED_ROWS:
        copy_selected_rows(menu->view);
        break;
    case Action::SAVE_LIST:
        save_list_ask(menu->view);
        break;
    }
}

gboolean usable(const MenuEntry &entry, const gchar *text)
{
    switch (entry.action) {
    case Action::OPEN_WEB:
        return *text && is_web_address(text);
    case Action::OPEN_STREAM:
        return *text && is_stream_address(text);
    case Action::COPY_TEXT:
        return *text != '\0';
    case Action::COPY_SELECTED_ROWS:
    case Action::SAVE_LIST:
        return TRUE; // the row the menu is for is among them
    }
    return FALSE;
}

// Takes the texts of the row at path; an entry with nothing to act on is
// insensitive.
gboolean prepare(RowMenu *menu, GtkTreePath *path)
{
    GtkTreeModel *model = gtk_tree_view_get_model(menu->view);
    const RowTexts *row = nullptr;
    if (!DISCOVERY_IS_PEER_LIST(model) ||
        !(row = discovery_peer_list_row(DISCOVERY_PEER_LIST(model), path)))
        return FALSE;
    row_texts_clear(&menu->row);
    row_texts_copy(&menu->row, row);
    for (int i = 0; i < N_MENU_ENTRIES; ++i) {
        const MenuEntry &entry = MENU_ENTRIES[i];
        const gchar *text = entry.column < NUM_COLS ? menu->row.text[entry.column] : "";
        gtk_widget_set_sensitive(menu->items[i], usable(entry, text));
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
    // A click on a selected row keeps the selection, for the menu to copy.
    if (!gtk_tree_selection_path_is_selected(gtk_tree_view_get_selection(view), path))
        gtk_tree_view_set_cursor(view, path, nullptr, FALSE); // shows the row it is for
    if (prepare(menu, path))
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
    gboolean shown = prepare(menu, path);
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

// The video stream of the row with the cursor.
void open_cursor_stream(GtkTreeView *view)
{
    GtkTreePath *path = nullptr;
    gtk_tree_view_get_cursor(view, &path, nullptr);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    const RowTexts *row = path && DISCOVERY_IS_PEER_LIST(model)
                              ? discovery_peer_list_row(DISCOVERY_PEER_LIST(model), path)
                              : nullptr;
    if (row && *row->text[COL_RTSP])
        open_when_reachable(view, row->text[COL_RTSP], open_video_stream);
    gtk_tree_path_free(path);
}

// Ctrl+C copies the selected rows, Ctrl+Return opens the video stream.
gboolean on_key_press(GtkWidget *widget, GdkEventKey *event, gpointer)
{
    GdkModifierType mods = static_cast<GdkModifierType>(
        event->state & gtk_accelerator_get_default_mod_mask());
    if (mods != GDK_CONTROL_MASK)
        return GDK_EVENT_PROPAGATE;
    switch (gdk_keyval_to_lower(event->keyval)) {
    case GDK_KEY_c:
        copy_selected_rows(GTK_TREE_VIEW(widget));
        return GDK_EVENT_STOP;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        open_cursor_stream(GTK_TREE_VIEW(widget));
        return GDK_EVENT_STOP;
    default:
        return GDK_EVENT_PROPAGATE;
    }
}

} // namespace

void open_web_interface(GtkWindow *, const gchar *url)
{
    if (!is_web_address(url)) {
        gchar *shown = g_strescape(url, nullptr);
        g_printerr(_("not opening \"%s\": not an http or https address\n"), shown);
        g_free(shown);
        return;
    }
    gtk_show_uri_on_window(nullptr, url, GDK_CURRENT_TIME, nullptr);
}

void row_actions_attach(GtkTreeView *view)
{
    RowMenu *menu = g_new0(RowMenu, 1);
    menu->view = view;
    menu->menu = gtk_menu_new();
    for (int i = 0; i < N_MENU_ENTRIES; ++i) {
        menu->items[i] = gtk_menu_item_new_with_label(_(MENU_ENTRIES[i].label));
        if (MENU_ENTRIES[i].key)
            gtk_accel_label_set_accel(GTK_ACCEL_LABEL(gtk_bin_get_child(GTK_BIN(menu->items[i]))),
                                      MENU_ENTRIES[i].key, GDK_CONTROL_MASK);
        g_signal_connect(menu->items[i], "activate", G_CALLBACK(on_item_activate), menu);
        gtk_menu_shell_append(GTK_MENU_SHELL(menu->menu), menu->items[i]);
    }
    gtk_widget_show_all(menu->menu);
    // Attached, the menu is destroyed with the view; its texts go when the
    // view is finalized.
    gtk_menu_attach_to_widget(GTK_MENU(menu->menu), GTK_WIDGET(view), nullptr);
    g_object_set_data_full(G_OBJECT(view), "row-menu", menu, row_menu_free);
    g_signal_connect(view, "button-press-event", G_CALLBACK(on_button_press), menu);
    g_signal_connect(view, "popup-menu", G_CALLBACK(on_popup_menu), menu);
    g_signal_connect(view, "key-press-event", G_CALLBACK(on_key_press), nullptr);
}
