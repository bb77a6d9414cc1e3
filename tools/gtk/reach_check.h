// SPDX-License-Identifier: MIT
// Opening a camera's page or stream, checked first where the camera's
// address is on none of this computer's networks. A camera with its maker's
// factory address is heard, since broadcasts reach every computer on its
// link whatever their addresses, but it cannot be reached, and a browser
// would only wait. A camera behind a router that relays discovery is on
// another subnet too, and can be: the check tells them apart.
// Main thread only, as all of GTK.
#ifndef OMBRIX_DISCOVERY_GTK_REACH_CHECK_H
#define OMBRIX_DISCOVERY_GTK_REACH_CHECK_H

#include <gtk/gtk.h>

// Opens url over window.
typedef void (*OpenFunc)(GtkWindow *window, const gchar *url);

// Calls open at once if url's host is not an IPv4 address or is on one of
// this computer's networks. Otherwise first connects to the host and the
// URL's port (that of its scheme by default), for at most
// REACH_TIMEOUT_MS, showing a busy cursor meanwhile: an answer, even a
// refusal, opens url; no answer, or a host or network that cannot be
// reached, explains in a dialog over the view's window what to do instead,
// with buttons that copy a command and open url anyway. While url is
// checked, opening it again starts nothing.
void open_when_reachable(GtkTreeView *view, const gchar *url, OpenFunc open);

// Cancels the checks of view, as a refresh does; its destruction does too.
void reach_checks_cancel(GtkTreeView *view);

inline constexpr guint REACH_TIMEOUT_MS = 2000;

#endif
