// SPDX-License-Identifier: MIT
// The command-line tool's line for one discovered peer.
#ifndef TOOLS_CLI_PEER_LINE_H
#define TOOLS_CLI_PEER_LINE_H

#include <obx_discovery/discovery.h>

#include <glib.h>

// The address, then the name, the web interface and the video stream where
// present, each after one space; no line feed. Texts from the network are
// escaped as in the library's messages: the result is valid UTF-8 without
// control characters, and undoing its escapes (\n, \t, \xNN, \uNNNN, \\)
// gives back each text.
// Free with g_free().
gchar *peer_line_new(const char *address_string, ObxPeerDetails details);

#endif
