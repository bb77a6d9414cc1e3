// SPDX-License-Identifier: MIT
// Keeps the row with a list's cursor where it is shown while rows arrive
// above it: by itself GTK pushes that row down, out of view.
// Main thread only, as all of GTK.
#ifndef OMBRIX_DISCOVERY_GTK_CURSOR_ANCHOR_H
#define OMBRIX_DISCOVERY_GTK_CURSOR_ANCHOR_H

#include <gtk/gtk.h>

// Watches model, which view is about to show, for rows inserted above the
// cursor's row, for as long as view lives. Forgets what an earlier model's
// rows moved.
void cursor_anchor_watch(GtkTreeView *view, GtkTreeModel *model);

// Scrolls the cursor's row back to where it was shown before the rows
// inserted since the last call; nothing if none came above it.
void cursor_anchor_restore(GtkTreeView *view);

#endif
