// SPDX-License-Identifier: MIT
#include "peer_handoff.h"

#include <new>

namespace {

// How long one dispatch may spend adding rows, so that a frame (16 ms) keeps
// room for input and drawing while a large site answers.
constexpr gint64 ROWS_BUDGET_US = 8000;

void row_free(gpointer row)
{
    row_texts_clear(static_cast<RowTexts *>(row));
    g_free(row);
}

} // namespace

// The listener thread queues rows in arrived and schedules one dispatch for
// all that wait; the main thread adds them to store, which it alone
// touches. Shared by the two, and released by the last.
struct PeerHandoff {
    DiscoveryPeerList *store; // NULL once rows are no longer wanted
    RowsAddedFunc rows_added;
    gpointer user_data;
    Hearing hearing;
    RowLimits limits;
    gint not_listed; // atomic
    GMutex lock;
    GQueue arrived;     // of RowTexts, guarded by lock
    gboolean scheduled; // guarded by lock: a dispatch will take arrived
};

namespace {

void handoff_clear(gpointer data)
{
    auto *self = static_cast<PeerHandoff *>(data);
    g_queue_clear_full(&self->arrived, row_free);
    g_mutex_clear(&self->lock);
    self->hearing.~Hearing();
}

void handoff_release(gpointer self)
{
    g_atomic_rc_box_release_full(self, handoff_clear);
}

// The next row that arrived, or NULL when none waits; then the next row
// schedules a dispatch again.
RowTexts *take_row(PeerHandoff *self)
{
    g_mutex_lock(&self->lock);
    auto *row = static_cast<RowTexts *>(g_queue_pop_head(&self->arrived));
    if (!row)
        self->scheduled = FALSE;
    g_mutex_unlock(&self->lock);
    return row;
}

gboolean add_rows(gpointer data)
{
    auto *self = static_cast<PeerHandoff *>(data);
    gint64 deadline = g_get_monotonic_time() + ROWS_BUDGET_US;
    gboolean more = G_SOURCE_REMOVE;
    while (RowTexts *row = take_row(self)) {
        if (self->store && discovery_peer_list_count(self->store) >= self->limits.listed)
            g_atomic_int_inc(&self->not_listed);
        else if (self->store)
            discovery_peer_list_append(self->store, row);
        row_free(row);
        if (g_get_monotonic_time() >= deadline) {
            more = G_SOURCE_CONTINUE;
            break;
        }
    }
    if (self->store)
        self->rows_added(self->user_data);
    return more;
}

} // namespace

PeerHandoff *peer_handoff_new(DiscoveryPeerList *store, RowsAddedFunc rows_added,
                              gpointer user_data, RowLimits limits)
{
    PeerHandoff *self = g_atomic_rc_box_new0(PeerHandoff);
    new (&self->hearing) Hearing();
    self->limits = limits;
    self->store = store;
    self->rows_added = rows_added;
    self->user_data = user_data;
    g_mutex_init(&self->lock);
    return self;
}

void peer_handoff_on_discovery(const char *address_string, ObxPeerDetails details,
                               void *handoff)
{
    auto *self = static_cast<PeerHandoff *>(handoff);
    self->hearing.note(details.type);
    if (details.type == OBX_PEER_TYPE_PROBE)
        return; // discovery tools, this window's own instance included, are not listed

    // Only the listener adds to arrived: if there is room now, there is
    // room once the row is made.
    g_mutex_lock(&self->lock);
    gboolean full = self->arrived.length >= self->limits.waiting;
    g_mutex_unlock(&self->lock);
    if (full) {
        g_atomic_int_inc(&self->not_listed);
        return;
    }
    RowTexts *row = g_new(RowTexts, 1);
    row_texts_init(row, address_string, details);
    g_mutex_lock(&self->lock);
    g_queue_push_tail(&self->arrived, row);
    gboolean schedule = !self->scheduled;
    self->scheduled = TRUE;
    g_mutex_unlock(&self->lock);
    if (schedule) {
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, add_rows, g_atomic_rc_box_acquire(self),
                        handoff_release);
    }
}

Silence peer_handoff_silence(PeerHandoff *self)
{
    return self->hearing.silence();
}

guint peer_handoff_not_listed(PeerHandoff *self)
{
    return static_cast<guint>(g_atomic_int_get(&self->not_listed));
}

void peer_handoff_drop_rows(PeerHandoff *self)
{
    self->store = nullptr;
}

void peer_handoff_close(PeerHandoff *self)
{
    peer_handoff_drop_rows(self);
    handoff_release(self);
}
