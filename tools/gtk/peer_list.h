// SPDX-License-Identifier: MIT
// The list's model: one row per discovered peer, in the order they arrived,
// each holding the texts of RowColumn. Rows are only ever appended; a new
// list replaces an old one. Kept in one array, so that a view can walk and
// drop 100,000 rows in a few milliseconds. Main thread only, as all of GTK.
#ifndef OMBRIX_DISCOVERY_GTK_PEER_LIST_H
#define OMBRIX_DISCOVERY_GTK_PEER_LIST_H

#include "row_texts.h"

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define DISCOVERY_TYPE_PEER_LIST (discovery_peer_list_get_type())
G_DECLARE_FINAL_TYPE(DiscoveryPeerList, discovery_peer_list, DISCOVERY, PEER_LIST, GObject)

DiscoveryPeerList *discovery_peer_list_new(void);

// Appends a row with texts, prepared by row_texts_init(), and takes them:
// texts is left empty.
void discovery_peer_list_append(DiscoveryPeerList *self, gchar *texts[NUM_COLS]);

G_END_DECLS

#endif
