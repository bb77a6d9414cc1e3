// SPDX-License-Identifier: MIT
// What a user can do with rows of the list: open a camera's web interface
// or video stream, copy one of its addresses from the row's context menu,
// copy the selected rows for a spreadsheet, or save the list.
// Main thread only, as all of GTK.
#ifndef OMBRIX_DISCOVERY_GTK_ROW_ACTIONS_H
#define OMBRIX_DISCOVERY_GTK_ROW_ACTIONS_H

#include <gtk/gtk.h>

// Opens url with the desktop's default handler if it is an http or https
// address; any other is refused with a message on standard error. The
// window is not used: the browser opens over whatever it likes.
void open_web_interface(GtkWindow *window, const gchar *url);

// Gives view, whose model is a DiscoveryPeerList, a context menu on its
// rows (on a right click, the Menu key or Shift+F10), Ctrl+C to copy the
// selected rows and Ctrl+Return to open the video stream of the row with the
// cursor. They live as long as the view.
void row_actions_attach(GtkTreeView *view);

#endif
