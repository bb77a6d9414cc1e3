// SPDX-License-Identifier: MIT
#include "peer_line.h"

#include <cstring>

namespace {

// Characters that would let a peer drive or rearrange the terminal: C1
// controls (U+009B is a one-character CSI) and the bidirectional embeddings,
// overrides and isolates, which turn the rest of a line around.
bool is_hidden_control(gunichar c)
{
    return (c >= 0x80 && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

// Names and URLs come from the network in any bytes. Each is shown as one
// stretch of the line that says exactly what was sent: a byte that is not
// part of valid UTF-8, or a C0 control, as \xNN; a hidden control as
// \uNNNN; and a backslash as \\, so that no text can pass for an escape.
void append_printable(GString *line, const char *text)
{
    const char *end = text + strlen(text);
    for (const char *at = text; at < end;) {
        gunichar c = g_utf8_get_char_validated(at, end - at);
        if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
            g_string_append_printf(line, "\\x%02x", static_cast<unsigned char>(*at));
            ++at;
            continue;
        }
        const char *next = g_utf8_next_char(at);
        if (c < 0x20 || c == 0x7f)
            g_string_append_printf(line, "\\x%02x", c);
        else if (c == '\\')
            g_string_append(line, "\\\\");
        else if (is_hidden_control(c))
            g_string_append_printf(line, "\\u%04x", c);
        else
            g_string_append_len(line, at, next - at);
        at = next;
    }
}

void append_field(GString *line, const char *text)
{
    if (text == nullptr)
        return;
    g_string_append_c(line, ' ');
    append_printable(line, text);
}

} // namespace

gchar *peer_line_new(const char *address_string, ObxPeerDetails details)
{
    GString *line = g_string_new(address_string);
    append_field(line, details.device_name);
    append_field(line, details.http_url);
    append_field(line, details.rtsp_url);
    return g_string_free(line, FALSE);
}
