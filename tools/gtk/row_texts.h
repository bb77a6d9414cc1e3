// SPDX-License-Identifier: MIT
// The texts of one row of the list, prepared from what a peer sent.
#ifndef OMBRIX_DISCOVERY_GTK_ROW_TEXTS_H
#define OMBRIX_DISCOVERY_GTK_ROW_TEXTS_H

#include <obx_discovery/discovery.h>

#include <glib.h>

// The list's columns, in the order shown.
enum RowColumn {
    COL_NAME,
    COL_ADDRESS,
    COL_HTTP,
    COL_RTSP,
    NUM_COLS,
};

// Fills texts with new copies that GTK can show: each valid UTF-8, a missing
// text empty, a valid one unchanged and any invalid bytes as U+FFFD. Needs
// no GTK, so it may run on any thread. Free with row_texts_clear().
void row_texts_init(gchar *texts[NUM_COLS], const char *address_string,
                    ObxPeerDetails details);

void row_texts_clear(gchar *texts[NUM_COLS]);

#endif
