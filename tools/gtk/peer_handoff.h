// SPDX-License-Identifier: MIT
// Carries what one discovery instance reports from the library's listener
// thread to the main loop, without ever making the listener wait: the main
// thread may itself be waiting for it in obx_discovery_free().
#ifndef OMBRIX_DISCOVERY_GTK_PEER_HANDOFF_H
#define OMBRIX_DISCOVERY_GTK_PEER_HANDOFF_H

#include "peer_list.h"
#include "silence.h"

#include <obx_discovery/discovery.h>

struct PeerHandoff;

// Called on the main loop after each batch of rows added to the store.
typedef void (*RowsAddedFunc)(gpointer user_data);

// A hand-off that adds the rows of cameras and of peers of no kind to store.
PeerHandoff *peer_handoff_new(DiscoveryPeerList *store, RowsAddedFunc rows_added,
                              gpointer user_data);

// The instance's callback, with the hand-off as user data.
void peer_handoff_on_discovery(const char *address_string, ObxPeerDetails details,
                               void *handoff);

// What the instance has heard so far. Any thread.
Silence peer_handoff_silence(PeerHandoff *self);

// From now on rows still on their way are dropped, and rows_added is not
// called: the store or its window is gone. Main thread.
void peer_handoff_drop_rows(PeerHandoff *self);

// Drops the rows and releases the hand-off, once its instance is freed.
void peer_handoff_close(PeerHandoff *self);

#endif
