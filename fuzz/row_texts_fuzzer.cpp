// SPDX-License-Identifier: MIT
// Fuzz target: the desktop tool's preparation of a row's texts. Checks that
// each text is valid UTF-8, that a missing one is empty and an invalid one
// keeps a replacement character where its bad bytes were; that a valid name
// is kept exactly, and a valid address to open exactly but for its
// Bidi_Control characters (by Unicode's PropList.txt) as \uNNNN; that its
// keys are set and a copy is equal; that its copy for a spreadsheet is one
// safe line of four fields, none of which a spreadsheet would take for a
// formula; and that its line of a saved list, read as RFC 4180 says, holds
// the same four fields in the window's order.
#include "peer_texts.h"
#include "row_texts.h"
#include "safe_line.h"

#include <glib.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *ADDRESS = "192.0.2.9";

// sent, valid UTF-8, with its Bidi_Control characters escaped.
std::string bidi_controls_escaped(const char *sent)
{
    std::string escaped;
    for (const char *at = sent; *at; at = g_utf8_next_char(at)) {
        gunichar c = g_utf8_get_char(at);
        char escape[8];
        if (has_bidi_control(c))
            escaped.append(escape, g_snprintf(escape, sizeof escape, "\\u%04x", c));
        else
            escaped.append(at, g_utf8_next_char(at) - at);
    }
    return escaped;
}

enum class Shown { AS_SENT, BIDI_CONTROLS_ESCAPED };

void check_text(const char *shown, const char *sent, Shown how)
{
    if (!shown || !g_utf8_validate(shown, -1, nullptr))
        __builtin_trap();
    if (!sent) {
        if (*shown)
            __builtin_trap();
    } else if (g_utf8_validate(sent, -1, nullptr)) {
        std::string expected = how == Shown::AS_SENT ? sent : bidi_controls_escaped(sent);
        if (expected != shown)
            __builtin_trap();
    } else if (!strstr(shown, "\xef\xbf\xbd")) {
        __builtin_trap();
    }
    if (how == Shown::BIDI_CONTROLS_ESCAPED)
        for (const char *at = shown; *at; at = g_utf8_next_char(at))
            if (has_bidi_control(g_utf8_get_char(at)))
                __builtin_trap();
}

// The fields of one CSV record ended by CR LF, read as RFC 4180 says; traps
// on anything else.
std::vector<std::string> csv_fields(std::string_view line)
{
    if (line.size() < 2 || line.substr(line.size() - 2) != "\r\n")
        __builtin_trap();
    line.remove_suffix(2);
    std::vector<std::string> fields(1);
    for (size_t i = 0;; ++i) {
        std::string &field = fields.back();
        if (i < line.size() && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= line.size())
                    __builtin_trap(); // no closing quote
                if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"')
                    ++i; // a quote, doubled
                else if (line[i] == '"')
                    break;
                field += line[i];
            }
            ++i;
        } else {
            for (; i < line.size() && line[i] != ','; ++i) {
                if (strchr("\"\r\n", line[i]))
                    __builtin_trap();
                field += line[i];
            }
        }
        if (i == line.size())
            return fields;
        if (line[i] != ',')
            __builtin_trap();
        fields.emplace_back();
    }
}

void check_csv_line(const RowTexts &row, gchar **tsv_fields)
{
    const RowTexts *rows[] = {&row};
    GString *lines = g_string_new(nullptr);
    row_texts_append_csv(rows, 1, lines);
    std::string_view text(lines->str, lines->len);
    constexpr std::string_view HEADER = "Name,IP Addess,Web UI,Videofeed\r\n";
    if (text.substr(0, HEADER.size()) != HEADER)
        __builtin_trap();
    std::vector<std::string> fields = csv_fields(text.substr(HEADER.size()));
    // Copied rows start with the address, saved ones with the name.
    const int from_tsv[NUM_COLS] = {1, 0, 2, 3};
    if (fields.size() != NUM_COLS)
        __builtin_trap();
    for (int column = 0; column < NUM_COLS; ++column)
        if (fields[column] != tsv_fields[from_tsv[column]])
            __builtin_trap();
    g_string_free(lines, TRUE);
}

void check_tsv_line(const RowTexts &row)
{
    GString *lines = g_string_new(nullptr);
    row_texts_append_tsv(&row, lines);
    std::string_view line(lines->str, lines->len);
    if (line.empty() || line.back() != '\n')
        __builtin_trap();
    line.remove_suffix(1);
    gchar **fields = g_strsplit(std::string(line).c_str(), "\t", -1);
    if (g_strv_length(fields) != 4)
        __builtin_trap();
    for (gchar **field = fields; *field; ++field) {
        check_safe_line(*field);
        if (**field && strchr("=+-@", **field))
            __builtin_trap();
    }
    check_csv_line(row, fields);
    g_strfreev(fields);
    g_string_free(lines, TRUE);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PeerTexts sent(data, size);
    RowTexts row;
    row_texts_init(&row, ADDRESS, sent.details());
    check_text(row.text[COL_NAME], sent.text(0), Shown::AS_SENT);
    check_text(row.text[COL_HTTP], sent.text(1), Shown::BIDI_CONTROLS_ESCAPED);
    check_text(row.text[COL_RTSP], sent.text(2), Shown::BIDI_CONTROLS_ESCAPED);
    gchar *folded = g_utf8_casefold(row.text[COL_NAME], -1);
    if (strcmp(row.text[COL_ADDRESS], ADDRESS) != 0 || !row.name_key ||
        strcmp(row.name_folded, folded) != 0)
        __builtin_trap();
    g_free(folded);
    check_tsv_line(row);
    RowTexts copy;
    row_texts_copy(&copy, &row);
    for (int column = 0; column < NUM_COLS; ++column)
        if (strcmp(copy.text[column], row.text[column]) != 0)
            __builtin_trap();
    if (strcmp(copy.name_key, row.name_key) != 0 || copy.address != row.address)
        __builtin_trap();
    row_texts_clear(&copy);
    row_texts_clear(&row);
    return 0;
}
