// SPDX-License-Identifier: MIT
#include "row_texts.h"

#include <obx_internal/peer_text.h>

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

// A peer's address as the window shows, opens and copies it: a
// right-to-left override in it would turn the rest of the cell around, so
// that the address read would not be the one opened.
gchar *address_shown(const char *url)
{
    gchar *valid = displayable_copy(url);
    std::string shown;
    append_bidi_controls_escaped(shown, valid);
    g_free(valid);
    return g_strndup(shown.data(), shown.size());
}

guint32 address_number(const char *address_string)
{
    in_addr address{};
    inet_pton(AF_INET, address_string, &address);
    return ntohl(address.s_addr);
}

// A field of a copied line: one line, escaped, and not taken by a
// spreadsheet for a formula.
void append_copied_field(std::string &line, const gchar *text)
{
    if (*text && strchr("=+-@", *text))
        line += '\'';
    append_escaped(line, text);
}

// The escaping leaves no line break for the quotes to hold.
void append_csv_field(std::string &line, const gchar *text)
{
    std::string field;
    append_copied_field(field, text);
    if (field.find_first_of(",\"") == std::string::npos) {
        line += field;
        return;
    }
    line += '"';
    for (char c : field) {
        if (c == '"')
            line += '"'; // doubled
        line += c;
    }
    line += '"';
}

void append_csv_line(GString *lines, const gchar *const fields[NUM_COLS])
{
    std::string line;
    for (int column = 0; column < NUM_COLS; ++column) {
        if (column > 0)
            line += ',';
        append_csv_field(line, fields[column]);
    }
    line += "\r\n";
    g_string_append_len(lines, line.data(), static_cast<gssize>(line.size()));
}

constexpr int N_TEXTS = NUM_COLS + 2; // the shown texts and the two keys

gchar **text_slot(RowTexts *row, int i)
{
    return i < NUM_COLS ? &row->text[i] : i == NUM_COLS ? &row->name_key : &row->name_folded;
}

// Points row's texts at one block holding copies of texts.
void pack(RowTexts *row, const gchar *const texts[N_TEXTS])
{
    gsize lengths[N_TEXTS], total = 0;
    for (int i = 0; i < N_TEXTS; ++i)
        total += lengths[i] = strlen(texts[i]) + 1;
    auto *block = static_cast<gchar *>(g_malloc(total));
    for (int i = 0; i < N_TEXTS; ++i) {
        *text_slot(row, i) = static_cast<gchar *>(memcpy(block, texts[i], lengths[i]));
        block += lengths[i];
    }
}

} // namespace

void row_texts_init(RowTexts *row, const char *address_string, ObxPeerDetails details)
{
    gchar *name = displayable_copy(details.device_name);
    gchar *http = address_shown(details.http_url);
    gchar *rtsp = address_shown(details.rtsp_url);
    // The C locale's collation does not fold case: it is folded here.
    gchar *folded = g_utf8_casefold(name, -1);
    gchar *key = g_utf8_collate_key_for_filename(folded, -1);
    const gchar *texts[N_TEXTS] = {name, address_string, http, rtsp, key, folded};
    pack(row, texts);
    row->address = address_number(address_string);
    for (gchar *text : {name, http, rtsp, folded, key})
        g_free(text);
}

void row_texts_copy(RowTexts *copy, const RowTexts *row)
{
    const gchar *texts[N_TEXTS];
    for (int i = 0; i < N_TEXTS; ++i)
        texts[i] = *text_slot(const_cast<RowTexts *>(row), i);
    pack(copy, texts);
    copy->address = row->address;
}

void row_texts_clear(RowTexts *row)
{
    g_free(row->text[COL_NAME]); // the block
    *row = RowTexts{};
}

void row_texts_append_tsv(const RowTexts *row, GString *lines)
{
    std::string line;
    for (RowColumn column : {COL_ADDRESS, COL_NAME, COL_HTTP, COL_RTSP}) {
        if (column != COL_ADDRESS)
            line += '\t';
        append_copied_field(line, row->text[column]);
    }
    line += '\n';
    g_string_append_len(lines, line.data(), static_cast<gssize>(line.size()));
}

void row_texts_append_csv(const RowTexts *const *rows, guint count, GString *lines)
{
    const gchar *titles[NUM_COLS];
    for (int column = 0; column < NUM_COLS; ++column)
        titles[column] = _(COLUMN_TITLES[column]);
    append_csv_line(lines, titles);
    for (guint i = 0; i < count; ++i)
        append_csv_line(lines, rows[i]->text);
}
