// SPDX-License-Identifier: MIT
// The list's model: one row per discovered peer, each holding the texts of
// RowColumn. Rows are only ever added; a new list replaces an old one. The
// rows shown are those that match a filter, in the order they arrived or
// sorted by a column; the model keeps that order in an index of its own, so
// that a view can walk, sort and drop 100,000 rows in a few milliseconds.
// Main thread only, as all of GTK.
#ifndef OMBRIX_DISCOVERY_GTK_PEER_LIST_H
#define OMBRIX_DISCOVERY_GTK_PEER_LIST_H

#include "row_texts.h"

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define DISCOVERY_TYPE_PEER_LIST (discovery_peer_list_get_type())
G_DECLARE_FINAL_TYPE(DiscoveryPeerList, discovery_peer_list, DISCOVERY, PEER_LIST, GObject)

// Shown in arrival order: no sort column.
#define DISCOVERY_PEER_LIST_UNSORTED (-1)

DiscoveryPeerList *discovery_peer_list_new(void);

// Adds a row with row's texts, prepared by row_texts_init(), and takes them:
// row is left empty. If it matches the filter, it is shown in its place.
void discovery_peer_list_append(DiscoveryPeerList *self, RowTexts *row);

// Orders the shown rows by column, or in arrival order for
// DISCOVERY_PEER_LIST_UNSORTED. Rows that compare equal stay in arrival
// order. A view keeps its selection.
void discovery_peer_list_sort(DiscoveryPeerList *self, int column, GtkSortType order);

// Whether showing only the rows whose name or address holds text, ignoring
// case, changes the rows shown.
gboolean discovery_peer_list_filter_changes(DiscoveryPeerList *self, const gchar *text);

// Shows only the rows whose name or address holds text, ignoring case; all
// for "". Changes the rows wholesale: unless filter_changes() says it does
// not, call it while no view shows the list.
void discovery_peer_list_filter(DiscoveryPeerList *self, const gchar *text);

// How many rows there are, shown or not.
guint discovery_peer_list_count(DiscoveryPeerList *self);

// The texts of the shown row at path.
const RowTexts *discovery_peer_list_row(DiscoveryPeerList *self, GtkTreePath *path);

// The texts of the shown rows, in the order shown, valid until the list
// changes; free the array with g_free().
const RowTexts **discovery_peer_list_shown_rows(DiscoveryPeerList *self, guint *count);

G_END_DECLS

#endif
