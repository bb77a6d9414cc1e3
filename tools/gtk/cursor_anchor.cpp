// SPDX-License-Identifier: MIT
#include "cursor_anchor.h"

namespace {

// The row with the cursor and where it was shown, while rows are inserted
// above it; kept on the view.
struct CursorAnchor {
    GtkTreeRowReference *row;
    int y;
};

const char ANCHOR_KEY[] = "cursor-anchor";

CursorAnchor *anchor_of(GtkTreeView *view)
{
    return static_cast<CursorAnchor *>(g_object_get_data(G_OBJECT(view), ANCHOR_KEY));
}

void anchor_free(gpointer data)
{
    auto *anchor = static_cast<CursorAnchor *>(data);
    g_clear_pointer(&anchor->row, gtk_tree_row_reference_free);
    g_free(anchor);
}

// Notes where the cursor's row was, if a row came above it while it was in
// view; once per batch of rows.
void on_row_inserted(GtkTreeModel *model, GtkTreePath *path, GtkTreeIter *, GtkTreeView *view)
{
    CursorAnchor *anchor = anchor_of(view);
    if (anchor->row)
        return;
    GtkTreePath *cursor = nullptr;
    gtk_tree_view_get_cursor(view, &cursor, nullptr);
    if (!cursor)
        return;
    if (gtk_tree_path_compare(path, cursor) <= 0) {
        GdkRectangle row, visible;
        gtk_tree_view_get_background_area(view, cursor, nullptr, &row);
        gtk_tree_view_get_visible_rect(view, &visible);
        int was_at = row.y - row.height; // the view has made room already
        if (was_at >= 0 && was_at < visible.height) {
            anchor->row = gtk_tree_row_reference_new(model, cursor);
            anchor->y = was_at;
        }
    }
    gtk_tree_path_free(cursor);
}

} // namespace

void cursor_anchor_watch(GtkTreeView *view, GtkTreeModel *model)
{
    g_object_set_data_full(G_OBJECT(view), ANCHOR_KEY, g_new0(CursorAnchor, 1), anchor_free);
    g_signal_connect_object(model, "row-inserted", G_CALLBACK(on_row_inserted), view,
                            G_CONNECT_AFTER);
}

// The list's length in the scroll position is the old one until the view
// measures the new rows: it is lengthened first, or the position would be
// held short.
void cursor_anchor_restore(GtkTreeView *view)
{
    CursorAnchor *anchor = anchor_of(view);
    if (!anchor || !anchor->row)
        return;
    if (GtkTreePath *path = gtk_tree_row_reference_get_path(anchor->row)) {
        GdkRectangle row;
        gtk_tree_view_get_background_area(view, path, nullptr, &row);
        GtkAdjustment *scroll = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(view));
        double value = gtk_adjustment_get_value(scroll) + row.y - anchor->y;
        double end = value + gtk_adjustment_get_page_size(scroll);
        if (end > gtk_adjustment_get_upper(scroll))
            gtk_adjustment_set_upper(scroll, end);
        gtk_adjustment_set_value(scroll, value);
        gtk_tree_path_free(path);
    }
    g_clear_pointer(&anchor->row, gtk_tree_row_reference_free);
}
