// SPDX-License-Identifier: MIT
#include "peer_list.h"

#include <algorithm>
#include <cstring>

struct _DiscoveryPeerList {
    GObject parent_instance;
    GArray *rows;  // of RowTexts, in arrival order
    GArray *shown; // of guint, indices into rows: the model's rows, in order
    int sort_column;
    GtkSortType sort_order;
    gchar *needle; // the filter, case-folded; "" shows all
};

static void discovery_peer_list_tree_model_init(GtkTreeModelIface *iface);

G_DEFINE_TYPE_WITH_CODE(DiscoveryPeerList, discovery_peer_list, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_TREE_MODEL,
                                              discovery_peer_list_tree_model_init))

namespace {

// An iterator is a position among the shown rows.
constexpr gint STAMP = 0x0b5;

DiscoveryPeerList *peer_list(GtkTreeModel *model)
{
    return DISCOVERY_PEER_LIST(model);
}

guint position(GtkTreeIter *iter)
{
    return GPOINTER_TO_UINT(iter->user_data);
}

guint *shown_indices(DiscoveryPeerList *self)
{
    return reinterpret_cast<guint *>(self->shown->data);
}

const RowTexts &row_at(DiscoveryPeerList *self, guint index)
{
    return g_array_index(self->rows, RowTexts, index);
}

gboolean point_at(DiscoveryPeerList *self, GtkTreeIter *iter, gint at)
{
    if (at < 0 || static_cast<guint>(at) >= self->shown->len) {
        iter->stamp = 0;
        return FALSE;
    }
    iter->stamp = STAMP;
    iter->user_data = GUINT_TO_POINTER(static_cast<guint>(at));
    return TRUE;
}

void clear_row(gpointer row)
{
    row_texts_clear(static_cast<RowTexts *>(row));
}

// Whether row a comes before row b in the list's order.
class ShownOrder {
public:
    explicit ShownOrder(DiscoveryPeerList *self) : self_(self) {}
    bool operator()(guint a, guint b) const
    {
        int by_column = compare(row_at(self_, a), row_at(self_, b));
        if (self_->sort_order == GTK_SORT_DESCENDING)
            by_column = -by_column;
        return by_column != 0 ? by_column < 0 : a < b;
    }

private:
    int compare(const RowTexts &a, const RowTexts &b) const
    {
        switch (self_->sort_column) {
        case COL_NAME:
            return strcmp(a.name_key, b.name_key);
        case COL_ADDRESS:
            return a.address < b.address ? -1 : a.address > b.address;
        case COL_HTTP:
        case COL_RTSP:
            return strcmp(a.text[self_->sort_column], b.text[self_->sort_column]);
        default:
            return 0;
        }
    }
    DiscoveryPeerList *self_;
};

GtkTreeModelFlags get_flags(GtkTreeModel *)
{
    return GTK_TREE_MODEL_LIST_ONLY;
}

gint get_n_columns(GtkTreeModel *)
{
    return NUM_COLS;
}

GType get_column_type(GtkTreeModel *, gint)
{
    return G_TYPE_STRING;
}

gboolean get_iter(GtkTreeModel *model, GtkTreeIter *iter, GtkTreePath *path)
{
    if (gtk_tree_path_get_depth(path) != 1)
        return FALSE;
    return point_at(peer_list(model), iter, gtk_tree_path_get_indices(path)[0]);
}

GtkTreePath *get_path(GtkTreeModel *, GtkTreeIter *iter)
{
    return gtk_tree_path_new_from_indices(static_cast<gint>(position(iter)), -1);
}

void get_value(GtkTreeModel *model, GtkTreeIter *iter, gint column, GValue *value)
{
    g_return_if_fail(column >= 0 && column < NUM_COLS);
    DiscoveryPeerList *self = peer_list(model);
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, row_at(self, shown_indices(self)[position(iter)]).text[column]);
}

gboolean iter_next(GtkTreeModel *model, GtkTreeIter *iter)
{
    return point_at(peer_list(model), iter, static_cast<gint>(position(iter)) + 1);
}

gboolean iter_previous(GtkTreeModel *model, GtkTreeIter *iter)
{
    return point_at(peer_list(model), iter, static_cast<gint>(position(iter)) - 1);
}

gboolean iter_nth_child(GtkTreeModel *model, GtkTreeIter *iter, GtkTreeIter *parent, gint n)
{
    return !parent && point_at(peer_list(model), iter, n);
}

gboolean iter_children(GtkTreeModel *model, GtkTreeIter *iter, GtkTreeIter *parent)
{
    return iter_nth_child(model, iter, parent, 0);
}

gboolean iter_has_child(GtkTreeModel *, GtkTreeIter *)
{
    return FALSE;
}

gint iter_n_children(GtkTreeModel *model, GtkTreeIter *iter)
{
    return iter ? 0 : static_cast<gint>(peer_list(model)->shown->len);
}

gboolean iter_parent(GtkTreeModel *, GtkTreeIter *, GtkTreeIter *)
{
    return FALSE;
}

} // namespace

static void discovery_peer_list_tree_model_init(GtkTreeModelIface *iface)
{
    iface->get_flags = get_flags;
    iface->get_n_columns = get_n_columns;
    iface->get_column_type = get_column_type;
    iface->get_iter = get_iter;
    iface->get_path = get_path;
    iface->get_value = get_value;
    iface->iter_next = iter_next;
    iface->iter_previous = iter_previous;
    iface->iter_children = iter_children;
    iface->iter_has_child = iter_has_child;
    iface->iter_n_children = iter_n_children;
    iface->iter_nth_child = iter_nth_child;
    iface->iter_parent = iter_parent;
}

static void discovery_peer_list_finalize(GObject *object)
{
    DiscoveryPeerList *self = DISCOVERY_PEER_LIST(object);
    g_array_unref(self->shown);
    g_array_unref(self->rows);
    g_free(self->needle);
    G_OBJECT_CLASS(discovery_peer_list_parent_class)->finalize(object);
}

static void discovery_peer_list_class_init(DiscoveryPeerListClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = discovery_peer_list_finalize;
}

static void discovery_peer_list_init(DiscoveryPeerList *self)
{
    self->rows = g_array_new(FALSE, FALSE, sizeof(RowTexts));
    g_array_set_clear_func(self->rows, clear_row);
    self->shown = g_array_new(FALSE, FALSE, sizeof(guint));
    self->sort_column = DISCOVERY_PEER_LIST_UNSORTED;
    self->needle = g_strdup("");
}

DiscoveryPeerList *discovery_peer_list_new(void)
{
    return DISCOVERY_PEER_LIST(g_object_new(DISCOVERY_TYPE_PEER_LIST, nullptr));
}

void discovery_peer_list_append(DiscoveryPeerList *self, RowTexts *row)
{
    guint index = self->rows->len;
    g_array_append_val(self->rows, *row);
    *row = RowTexts{};
    if (!row_texts_match(&row_at(self, index), self->needle))
        return;

    // Arrival order puts it last; a sort, after the rows it does not precede.
    guint *begin = shown_indices(self), *end = begin + self->shown->len;
    auto at = static_cast<guint>(std::upper_bound(begin, end, index, ShownOrder(self)) - begin);
    g_array_insert_val(self->shown, at, index);

    GtkTreeIter iter;
    point_at(self, &iter, static_cast<gint>(at));
    GtkTreePath *path = gtk_tree_path_new_from_indices(static_cast<gint>(at), -1);
    gtk_tree_model_row_inserted(GTK_TREE_MODEL(self), path, &iter);
    gtk_tree_path_free(path);
}

void discovery_peer_list_sort(DiscoveryPeerList *self, int column, GtkSortType order)
{
    self->sort_column = column;
    self->sort_order = order;
    guint count = self->shown->len;
    if (count == 0)
        return;
    // The positions the rows had, sorted along with them: where each came from.
    auto *moved = g_new(guint64, count);
    guint *indices = shown_indices(self);
    for (guint at = 0; at < count; ++at)
        moved[at] = static_cast<guint64>(indices[at]) << 32 | at;
    ShownOrder before(self);
    std::sort(moved, moved + count, [&](guint64 a, guint64 b) {
        return before(static_cast<guint>(a >> 32), static_cast<guint>(b >> 32));
    });
    auto *new_order = g_new(gint, count);
    for (guint at = 0; at < count; ++at) {
        indices[at] = static_cast<guint>(moved[at] >> 32);
        new_order[at] = static_cast<gint>(moved[at] & G_MAXUINT32);
    }
    g_free(moved);
    GtkTreePath *root = gtk_tree_path_new();
    gtk_tree_model_rows_reordered_with_length(GTK_TREE_MODEL(self), root, nullptr, new_order,
                                              static_cast<gint>(count));
    gtk_tree_path_free(root);
    g_free(new_order);
}

void discovery_peer_list_filter(DiscoveryPeerList *self, const gchar *text)
{
    g_free(self->needle);
    self->needle = g_utf8_casefold(text, -1);
    g_array_set_size(self->shown, 0);
    for (guint index = 0; index < self->rows->len; ++index)
        if (row_texts_match(&row_at(self, index), self->needle))
            g_array_append_val(self->shown, index);
    guint *begin = shown_indices(self);
    std::sort(begin, begin + self->shown->len, ShownOrder(self));
}

guint discovery_peer_list_count(DiscoveryPeerList *self)
{
    return self->rows->len;
}

const RowTexts *discovery_peer_list_row(DiscoveryPeerList *self, GtkTreePath *path)
{
    gint at = gtk_tree_path_get_indices(path)[0];
    g_return_val_if_fail(at >= 0 && static_cast<guint>(at) < self->shown->len, nullptr);
    return &row_at(self, shown_indices(self)[at]);
}
