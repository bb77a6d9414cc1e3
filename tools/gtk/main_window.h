// SPDX-License-Identifier: MIT
// The main window of ombrix-discovery-gtk: the list of cameras on the
// network, with a refresh button.
#ifndef OMBRIX_DISCOVERY_GTK_MAIN_WINDOW_H
#define OMBRIX_DISCOVERY_GTK_MAIN_WINDOW_H

#include <gtk/gtk.h>

// Builds a main window for app, with its own discovery instance; not shown yet.
GtkWidget *discovery_main_window_new(GtkApplication *app);

#endif
