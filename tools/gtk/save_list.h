// SPDX-License-Identifier: MIT
// Saves the list as a window shows it to a CSV file the user chooses.
#ifndef OMBRIX_DISCOVERY_GTK_SAVE_LIST_H
#define OMBRIX_DISCOVERY_GTK_SAVE_LIST_H

#include <gtk/gtk.h>

// Asks, through the desktop's file chooser, where to save the rows that view
// shows, in the order shown, and saves them there: the file is replaced
// whole or not at all, and a failure is told in a dialog over the view's
// window. The rows are those shown when the user chooses.
void save_list_ask(GtkTreeView *view);

#endif
