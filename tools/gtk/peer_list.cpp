// SPDX-License-Identifier: MIT
#include "peer_list.h"

namespace {

struct Row {
    gchar *texts[NUM_COLS];
};

} // namespace

struct _DiscoveryPeerList {
    GObject parent_instance;
    GArray *rows; // of Row
};

static void discovery_peer_list_tree_model_init(GtkTreeModelIface *iface);

G_DEFINE_TYPE_WITH_CODE(DiscoveryPeerList, discovery_peer_list, G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(GTK_TYPE_TREE_MODEL,
                                              discovery_peer_list_tree_model_init))

namespace {

// An iterator is a row's index; rows never move, so it stays valid.
constexpr gint STAMP = 0x0b5;

DiscoveryPeerList *peer_list(GtkTreeModel *model)
{
    return DISCOVERY_PEER_LIST(model);
}

guint row_index(GtkTreeIter *iter)
{
    return GPOINTER_TO_UINT(iter->user_data);
}

gboolean point_at(DiscoveryPeerList *self, GtkTreeIter *iter, gint index)
{
    if (index < 0 || static_cast<guint>(index) >= self->rows->len) {
        iter->stamp = 0;
        return FALSE;
    }
    iter->stamp = STAMP;
    iter->user_data = GUINT_TO_POINTER(static_cast<guint>(index));
    return TRUE;
}

void clear_row(gpointer row)
{
    row_texts_clear(static_cast<Row *>(row)->texts);
}

GtkTreeModelFlags get_flags(GtkTreeModel *)
{
    return static_cast<GtkTreeModelFlags>(GTK_TREE_MODEL_ITERS_PERSIST | GTK_TREE_MODEL_LIST_ONLY);
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
    return gtk_tree_path_new_from_indices(static_cast<gint>(row_index(iter)), -1);
}

void get_value(GtkTreeModel *model, GtkTreeIter *iter, gint column, GValue *value)
{
    g_return_if_fail(column >= 0 && column < NUM_COLS);
    const Row &row = g_array_index(peer_list(model)->rows, Row, row_index(iter));
    g_value_init(value, G_TYPE_STRING);
    g_value_set_string(value, row.texts[column]);
}

gboolean iter_next(GtkTreeModel *model, GtkTreeIter *iter)
{
    return point_at(peer_list(model), iter, static_cast<gint>(row_index(iter)) + 1);
}

gboolean iter_previous(GtkTreeModel *model, GtkTreeIter *iter)
{
    return point_at(peer_list(model), iter, static_cast<gint>(row_index(iter)) - 1);
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
    return iter ? 0 : static_cast<gint>(peer_list(model)->rows->len);
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
    g_array_unref(DISCOVERY_PEER_LIST(object)->rows);
    G_OBJECT_CLASS(discovery_peer_list_parent_class)->finalize(object);
}

static void discovery_peer_list_class_init(DiscoveryPeerListClass *klass)
{
    G_OBJECT_CLASS(klass)->finalize = discovery_peer_list_finalize;
}

static void discovery_peer_list_init(DiscoveryPeerList *self)
{
    self->rows = g_array_new(FALSE, FALSE, sizeof(Row));
    g_array_set_clear_func(self->rows, clear_row);
}

DiscoveryPeerList *discovery_peer_list_new(void)
{
    return DISCOVERY_PEER_LIST(g_object_new(DISCOVERY_TYPE_PEER_LIST, nullptr));
}

void discovery_peer_list_append(DiscoveryPeerList *self, gchar *texts[NUM_COLS])
{
    Row row;
    for (int column = 0; column < NUM_COLS; ++column) {
        row.texts[column] = texts[column];
        texts[column] = nullptr;
    }
    g_array_append_val(self->rows, row);

    GtkTreeIter iter;
    point_at(self, &iter, static_cast<gint>(self->rows->len - 1));
    GtkTreePath *path = gtk_tree_model_get_path(GTK_TREE_MODEL(self), &iter);
    gtk_tree_model_row_inserted(GTK_TREE_MODEL(self), path, &iter);
    gtk_tree_path_free(path);
}
