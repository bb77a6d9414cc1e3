// SPDX-License-Identifier: MIT
// The one rule by which text from the network is written anywhere a person
// reads it: the library's messages and traces, the command-line tool's peer
// lines and the window's copied rows and addresses. A static library linked
// into each of them; the library exports none of its symbols.
#ifndef OBX_INTERNAL_PEER_TEXT_H
#define OBX_INTERNAL_PEER_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

// Appends text to out so that it is one stretch of a line that says exactly
// what was sent and cannot drive a terminal or fake a line: line feed and tab
// as \n and \t, any other C0 control, DEL and every byte that is not part of
// valid UTF-8 as \xNN, C1 controls, Bidi_Control characters and the line and
// paragraph separators U+2028 and U+2029 as \uNNNN, and a backslash as \\.
// Everything else is copied unchanged, other format characters (joiners)
// among it. Stops before out would grow past limit bytes, never inside an
// escape or a character; false if it stopped early.
bool append_escaped(std::string &out, std::string_view text,
                    size_t limit = std::string::npos);

// Whether c has Unicode's Bidi_Control property: the marks, embeddings,
// overrides and isolates that reorder the text around them.
bool is_bidi_control(char32_t c);

// Appends text with each Bidi_Control character as \uNNNN and everything else
// unchanged: for a text that is shown whole and used as it is shown, such as
// an address to open, so that it reads in the order it is stored.
void append_bidi_controls_escaped(std::string &out, std::string_view text);

// Longest diagnostic or trace line, its line feed included: one write to a
// pipe of at most this much is never interleaved with another.
constexpr size_t ESCAPED_LINE_LIMIT = 4096;

// A diagnostic or trace line without its line feed: text, the library's own
// words, then peer_text escaped. A line that would be longer than
// ESCAPED_LINE_LIMIT is shortened and ends in ESCAPED_LINE_SHORTENED.
std::string escaped_line(std::string_view text, std::string_view peer_text);

inline constexpr std::string_view ESCAPED_LINE_SHORTENED = " [shortened]";

#endif
