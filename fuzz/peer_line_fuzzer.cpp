// SPDX-License-Identifier: MIT
// Fuzz target: the command-line tool's line for a peer. Checks that the line
// is safe (safe_line.h), that each escape in it stands for a byte or a
// character that Unicode's data says must not be shown raw, and that undoing
// its escapes gives back the address and the texts as they were sent: so
// nothing else is escaped, joiners and marks of other kinds among it.
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
        case 'x': {
            gunichar byte = hex_value(at + 2, 2);
            // A control or a byte of invalid UTF-8; line feed and tab have
            // escapes of their own.
            if ((byte >= 0x20 && byte < 0x7f) || byte == '\n' || byte == '\t')
                __builtin_trap();
            out += static_cast<char>(byte);
            at += 4;
            break;
        }
        case 'u': {
            gunichar c = hex_value(at + 2, 4);
            if (c < 0x80 || !is_unsafe(c))
                __builtin_trap();
            char utf8[6];
            out.append(utf8, g_unichar_to_utf8(c, utf8));
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
