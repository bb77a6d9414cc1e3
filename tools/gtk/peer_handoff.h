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

// How many rows a list takes, and how many may wait for the main loop: a
// flood of forged senders must not grow the window without end. Rows beyond
// either are counted as not listed.
struct RowLimits {
    guint listed;
    guint waiting;
};
inline constexpr RowLimits ROW_LIMITS = {100000, 10000};

// A hand-off that adds the rows of cameras and of peers of no kind to store.
PeerHandoff *peer_handoff_new(DiscoveryPeerList *store, RowsAddedFunc rows_added,
                              gpointer user_data, RowLimits limits = ROW_LIMITS);

// The instance's callback, with the hand-off as user data.
void peer_handoff_on_discovery(const char *address_string, ObxPeerDetails details,
                               void *handoff);

// What the instance has heard so far. Any thread.
Silence peer_handoff_silence(PeerHandoff *self);

// How many peers were heard but not listed, the list or the hand-off being
// full. Any thread.
guint peer_handoff_not_listed(PeerHandoff *self);

// From now on rows still on their way are dropped, and rows_added is not
// called: the store or its window is gone. Main thread.
void peer_handoff_drop_rows(PeerHandoff *self);

// Drops the rows and releases the hand-off, once its instance is freed.
void peer_handoff_close(PeerHandoff *self);

#endif
