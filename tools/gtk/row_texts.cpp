// SPDX-License-Identifier: MIT
#include "row_texts.h"

#include <obx_discovery/peer_text.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace {

// Invalid UTF-8 would make Pango warn on every redraw and leave screen
// readers an empty name.
gchar *displayable_copy(const char *text)
{
    return g_utf8_make_valid(text ? text : "", -1);
}

guint32 address_number(const char *address_string)
{
    in_addr address{};
    inet_pton(AF_INET, address_string, &address);
    return ntohl(address.s_addr);
}

void append_tsv_field(std::string &line, const gchar *text)
{
    if (*text && strchr("=+-@", *text))
        line += '\'';
    append_escaped(line, text);
}

} // namespace

void row_texts_init(RowTexts *row, const char *address_string, ObxPeerDetails details)
{
    row->text[COL_NAME] = displayable_copy(details.device_name);
    row->text[COL_ADDRESS] = g_strdup(address_string);
    row->text[COL_HTTP] = displayable_copy(details.http_url);
    row->text[COL_RTSP] = displayable_copy(details.rtsp_url);
    // The C locale's collation does not fold case: it is folded here.
    row->name_folded = g_utf8_casefold(row->text[COL_NAME], -1);
    row->name_key = g_utf8_collate_key_for_filename(row->name_folded, -1);
    row->address = address_number(address_string);
}

void row_texts_clear(RowTexts *row)
{
    for (gchar *&text : row->text)
        g_clear_pointer(&text, g_free);
    g_clear_pointer(&row->name_key, g_free);
    g_clear_pointer(&row->name_folded, g_free);
}

gboolean row_texts_match(const RowTexts *row, const gchar *needle)
{
    return strstr(row->name_folded, needle) || strstr(row->text[COL_ADDRESS], needle);
}

void row_texts_append_tsv(const RowTexts *row, GString *lines)
{
    std::string line;
    for (RowColumn column : {COL_ADDRESS, COL_NAME, COL_HTTP, COL_RTSP}) {
        if (column != COL_ADDRESS)
            line += '\t';
        append_tsv_field(line, row->text[column]);
    }
    line += '\n';
    g_string_append_len(lines, line.data(), static_cast<gssize>(line.size()));
}
