// SPDX-License-Identifier: MIT
#include "row_texts.h"

namespace {

// Invalid UTF-8 would make Pango warn on every redraw and leave screen
// readers an empty name.
gchar *displayable_copy(const char *text)
{
    return g_utf8_make_valid(text ? text : "", -1);
}

} // namespace

void row_texts_init(gchar *texts[NUM_COLS], const char *address_string,
                    ObxPeerDetails details)
{
    texts[COL_NAME] = displayable_copy(details.device_name);
    texts[COL_ADDRESS] = g_strdup(address_string);
    texts[COL_HTTP] = displayable_copy(details.http_url);
    texts[COL_RTSP] = displayable_copy(details.rtsp_url);
}

void row_texts_clear(gchar *texts[NUM_COLS])
{
    for (int column = 0; column < NUM_COLS; ++column)
        g_clear_pointer(&texts[column], g_free);
}
