// SPDX-License-Identifier: MIT
#include "peer_list.h"

#include <algorithm>
#include <cstring>

struct _DiscoveryPeerList {
    GObject parent_instance;
    GArray *rows;  // of RowTexts, in arrival order
    GArray *order; // of guint, indices into rows: all rows, in the list's order
    GArray *shown; // of guint: those of order that match, the model's rows
    // What finding searches, kept together for a fast pass over all rows:
    // for each row its address and case-folded name, at find_at.
    GByteArray *find_text;
    GArray *find_at; // of guint, by row
    int sort_column;
    GtkSortType sort_order;
    gchar *needle; // the filter, case-folded; "" shows all
    gchar *next_needle;
    GArray *next_shown; // the rows that next_needle shows
    gint stamp;         // of the iterators valid since the last change
};

static void discovery_peer_list_tree_model_init(GtkTreeModelIface *iface);

G_DEFINE_TYPE_WITH_CODE(DiscoveryPeerList, discovery_peer_list, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_TREE_MODEL,
                                              discovery_peer_list_tree_model_init))

namespace {

DiscoveryPeerList *peer_list(GtkTreeModel *model)
{
    return DISCOVERY_PEER_LIST(model);
}

guint position(GtkTreeIter *iter)
{
    return GPOINTER_TO_UINT(iter->user_data);
}

guint *indices(GArray *array)
{
    return reinterpret_cast<guint *>(array->data);
}

guint *shown_indices(DiscoveryPeerList *self)
{
    return indices(self->shown);
}

const RowTexts &row_at(DiscoveryPeerList *self, guint index)
{
    return g_array_index(self->rows, RowTexts, index);
}

// An iterator is a position among the shown rows, valid until the rows
// shown change: each change takes a new stamp.
gboolean point_at(DiscoveryPeerList *self, GtkTreeIter *iter, gint at)
{
    if (at < 0 || static_cast<guint>(at) >= self->shown->len) {
        iter->stamp = 0;
        return FALSE;
    }
    iter->stamp = self->stamp;
    iter->user_data = GUINT_TO_POINTER(static_cast<guint>(at));
    return TRUE;
}

gboolean is_valid(DiscoveryPeerList *self, GtkTreeIter *iter)
{
    return iter->stamp == self->stamp && position(iter) < self->shown->len;
}

// Never 0, the stamp of an iterator that points nowhere.
void invalidate_iters(DiscoveryPeerList *self)
{
    self->stamp = self->stamp == G_MAXINT ? 1 : self->stamp + 1;
}

void clear_row(gpointer row)
{
    row_texts_clear(static_cast<RowTexts *>(row));
}

void add_find_text(DiscoveryPeerList *self, const RowTexts &row)
{
    guint at = self->find_text->len;
    g_array_append_val(self->find_at, at);
    for (const gchar *text : {row.text[COL_ADDRESS], row.name_folded})
        g_byte_array_append(self->find_text, reinterpret_cast<const guint8 *>(text),
                            static_cast<guint>(strlen(text) + 1));
}

gboolean matches(DiscoveryPeerList *self, guint index, const gchar *needle)
{
    const gchar *address = reinterpret_cast<const gchar *>(self->find_text->data) +
                           g_array_index(self->find_at, guint, index);
    return strstr(address, needle) || strstr(address + strlen(address) + 1, needle);
}

// The rows that needle shows, in order, into matching. A longer needle
// only narrows: then only the rows shown now need a look.
void find(DiscoveryPeerList *self, const gchar *needle, GArray *matching)
{
    GArray *candidates = strstr(needle, self->needle) ? self->shown : self->order;
    g_array_set_size(matching, 0);
    for (guint i = 0; i < candidates->len; ++i) {
        guint index = indices(candidates)[i];
        if (!*needle || matches(self, index, needle))
            g_array_append_val(matching, index);
    }
}

// Inserts index into array, which is in the list's order, after the rows
// it does not precede; returns where.
template <typename Order>
guint place(GArray *array, guint index, Order before)
{
    guint *begin = indices(array);
    guint at = static_cast<guint>(std::upper_bound(begin, begin + array->len, index, before) - begin);
    g_array_insert_val(array, at, index);
    return at;
}

// Whether row a comes before row b in the list's order.
class ListOrder {
public:
    explicit ListOrder(DiscoveryPeerList *self) : self_(self) {}
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

GtkTreePath *get_path(GtkTreeModel *model, GtkTreeIter *iter)
{
    g_return_val_if_fail(is_valid(peer_list(model), iter), nullptr);
    return gtk_tree_path_new_from_indices(static_cast<gint>(position(iter)), -1);
}

void get_value(GtkTreeModel *model, GtkTreeIter *iter, gint column, GValue *value)
{
    DiscoveryPeerList *self = peer_list(model);
    g_return_if_fail(column >= 0 && column < NUM_COLS);
    g_return_if_fail(is_valid(self, iter));
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, row_at(self, shown_indices(self)[position(iter)]).text[column]);
}

gboolean iter_next(GtkTreeModel *model, GtkTreeIter *iter)
{
    g_return_val_if_fail(is_valid(peer_list(model), iter), FALSE);
    return point_at(peer_list(model), iter, static_cast<gint>(position(iter)) + 1);
}

gboolean iter_previous(GtkTreeModel *model, GtkTreeIter *iter)
{
    g_return_val_if_fail(is_valid(peer_list(model), iter), FALSE);
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
    g_array_unref(self->next_shown);
    g_array_unref(self->shown);
    g_array_unref(self->order);
    g_array_unref(self->find_at);
    g_byte_array_unref(self->find_text);
    g_array_unref(self->rows);
    g_free(self->next_needle);
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
    self->order = g_array_new(FALSE, FALSE, sizeof(guint));
    self->shown = g_array_new(FALSE, FALSE, sizeof(guint));
    self->next_shown = g_array_new(FALSE, FALSE, sizeof(guint));
    self->find_text = g_byte_array_new();
    self->find_at = g_array_new(FALSE, FALSE, sizeof(guint));
    self->sort_column = DISCOVERY_PEER_LIST_UNSORTED;
    self->needle = g_strdup("");
    self->stamp = g_random_int_range(1, G_MAXINT);
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
    add_find_text(self, row_at(self, index));
    g_clear_pointer(&self->next_needle, g_free); // found without it
    // Arrival order puts it last; a sort, after the rows it does not precede.
    place(self->order, index, ListOrder(self));
    if (*self->needle && !matches(self, index, self->needle))
        return;
    guint at = place(self->shown, index, ListOrder(self));
    invalidate_iters(self);

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
    g_clear_pointer(&self->next_needle, g_free); // found in the old order
    guint *all = indices(self->order);
    std::sort(all, all + self->order->len, ListOrder(self));
    guint count = self->shown->len;
    if (count == 0)
        return;
    // The shown rows are those of the sorted order that were shown: where
    // each was shown tells the view where it comes from.
    auto *shown_at = g_new(guint, self->rows->len);
    std::fill(shown_at, shown_at + self->rows->len, G_MAXUINT);
    guint *shown = shown_indices(self);
    for (guint at = 0; at < count; ++at)
        shown_at[shown[at]] = at;
    auto *new_order = g_new(gint, count);
    guint at = 0;
    for (guint i = 0; i < self->order->len; ++i) {
        if (shown_at[all[i]] == G_MAXUINT)
            continue;
        new_order[at] = static_cast<gint>(shown_at[all[i]]);
        shown[at++] = all[i];
    }
    g_free(shown_at);
    invalidate_iters(self);
    GtkTreePath *root = gtk_tree_path_new();
    gtk_tree_model_rows_reordered_with_length(GTK_TREE_MODEL(self), root, nullptr, new_order,
                                              static_cast<gint>(count));
    gtk_tree_path_free(root);
    g_free(new_order);
}

gboolean discovery_peer_list_filter_changes(DiscoveryPeerList *self, const gchar *text)
{
    gchar *needle = g_utf8_casefold(text, -1);
    if (g_strcmp0(needle, self->next_needle) != 0) {
        find(self, needle, self->next_shown);
        g_free(self->next_needle);
        self->next_needle = needle;
    } else {
        g_free(needle);
    }
    GArray *next = self->next_shown, *now = self->shown;
    return next->len != now->len ||
           (now->len > 0 && memcmp(next->data, now->data, now->len * sizeof(guint)) != 0);
}

void discovery_peer_list_filter(DiscoveryPeerList *self, const gchar *text)
{
    discovery_peer_list_filter_changes(self, text);
    std::swap(self->shown, self->next_shown);
    std::swap(self->needle, self->next_needle);
    invalidate_iters(self);
    g_clear_pointer(&self->next_needle, g_free); // next_shown holds the old rows
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

const RowTexts **discovery_peer_list_shown_rows(DiscoveryPeerList *self, guint *count)
{
    *count = self->shown->len;
    auto **rows = g_new(const RowTexts *, self->shown->len);
    for (guint at = 0; at < self->shown->len; ++at)
        rows[at] = &row_at(self, shown_indices(self)[at]);
    return rows;
}
