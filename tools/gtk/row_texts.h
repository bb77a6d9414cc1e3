// SPDX-License-Identifier: MIT
// The texts of one row of the list, prepared from what a peer sent, with
// what sorting and finding compare. Needs no GTK: prepared on the library's
// listener thread, so that the main thread only places the row.
#ifndef OMBRIX_DISCOVERY_GTK_ROW_TEXTS_H
#define OMBRIX_DISCOVERY_GTK_ROW_TEXTS_H

#include <obx_discovery/discovery.h>

#include <glib.h>
#include <glib/gi18n.h>

// The list's columns, in the order shown.
enum RowColumn {
    COL_NAME,
    COL_ADDRESS,
    COL_HTTP,
    COL_RTSP,
    NUM_COLS,
};

// Their titles, to be translated where shown.
inline constexpr const char *COLUMN_TITLES[NUM_COLS] = {
    N_("Name"),
    // TRANSLATORS: the column of IP addresses; its English title is misspelt on
    // purpose: write the word correctly in your language.
    N_("IP Addess"),
    N_("Web UI"),
    N_("Videofeed"),
};

// All texts of a row share one allocation, so that dropping a list of
// 100,000 rows takes one free per row.
struct RowTexts {
    gchar *text[NUM_COLS]; // as shown
    gchar *name_key;       // orders names case-insensitively, numbers by value
    gchar *name_folded;    // the name case-folded, for finding
    guint32 address;       // the address as a number, for ordering
};

// Fills row with new texts that GTK can show: each valid UTF-8, a missing
// text empty, a valid one unchanged and any invalid bytes as U+FFFD; and
// with their keys. The web interface and video stream have their
// Bidi_Control characters escaped as \uNNNN, so that they read as they open;
// a name keeps them, as names in Arabic or Hebrew may need them. Free with
// row_texts_clear().
void row_texts_init(RowTexts *row, const char *address_string, ObxPeerDetails details);

// Fills copy with a copy of row. Free with row_texts_clear().
void row_texts_copy(RowTexts *copy, const RowTexts *row);

void row_texts_clear(RowTexts *row);

// Appends the row to lines as one line for a spreadsheet: address, name, web
// interface and video stream, separated by tabs, ended by a line feed. Each
// field is escaped as the command-line tool's lines are, so that it holds no
// tab or line feed, and one that a spreadsheet would take for a formula
// starts with an apostrophe.
void row_texts_append_tsv(const RowTexts *row, GString *lines);

// Appends the column titles in the user's language, then each of rows, as lines of a CSV file
// (RFC 4180: fields separated by commas, quoted where they hold a comma or a
// double quote, lines ended by CR LF), the columns in the window's order and
// each field as in row_texts_append_tsv().
void row_texts_append_csv(const RowTexts *const *rows, guint count, GString *lines);

#endif
