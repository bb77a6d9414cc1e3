// SPDX-License-Identifier: MIT
// Opens a camera's video stream in the desktop's player.
#ifndef OMBRIX_DISCOVERY_GTK_VIDEO_STREAM_H
#define OMBRIX_DISCOVERY_GTK_VIDEO_STREAM_H

#include <gtk/gtk.h>

// Whether url is an rtsp or rtsps address, the only ones opened as streams.
gboolean is_stream_address(const gchar *url);

// Hands url to the desktop's handler for its scheme. Where none is
// registered, a dialog over parent says so, names players that open such
// streams, and can open it once with an installed video application or copy
// the address; the user's default applications are left as they are. Any
// other scheme is refused with a message on standard error.
void open_video_stream(GtkWindow *parent, const gchar *url);

#endif
