// SPDX-License-Identifier: MIT
// Fuzz target: the command-line tool's line for a peer. Checks that the line
// is valid UTF-8 without C0 controls, DEL, C1 controls or bidirectional
// controls, and that undoing its escapes gives back the address and the
// texts as they were sent.
#include "peer_line.h"
#include "peer_texts.h"
#include "safe_line.h"

#include <glib.h>

namespace {

constexpr const char *ADDRESS = "192.0.2.9";

// The value of the digits hex digits at text; traps on anything else, so
// that a malformed escape is a finding. Stops at the line's NUL.
gunichar hex_value(const char *text, int digits)
{
    gunichar value = 0;
    for (int i = 0; i < digits; ++i) {
        int digit = g_ascii_xdigit_value(text[i]);
        if (digit < 0)
            __builtin_trap();
        value = value * 16 + digit;
    }
    return value;
}

std::string undo_escapes(const char *line)
{
    std::string out;
    for (const char *at = line; *at;) {
        if (*at != '\\') {
            out += *at++;
            continue;
        }
        switch (at[1]) {
        case '\\':
            out += '\\';
            at += 2;
            break;
        case 'n':
            out += '\n';
            at += 2;
            break;
        case 't':
            out += '\t';
            at += 2;
            break;
        case 'x':
            out += static_cast<char>(hex_value(at + 2, 2));
            at += 4;
            break;
        case 'u': {
            char utf8[6];
            out.append(utf8, g_unichar_to_utf8(hex_value(at + 2, 4), utf8));
            at += 6;
            break;
        }
        default:
            __builtin_trap();
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PeerTexts sent(data, size);
    gchar *line = peer_line_new(ADDRESS, sent.details());
    check_safe_line(line);

    std::string expected = ADDRESS;
    for (const std::string &text : sent.texts)
        expected += " " + text;
    if (undo_escapes(line) != expected)
        __builtin_trap();
    g_free(line);
    return 0;
}
