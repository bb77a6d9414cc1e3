// SPDX-License-Identifier: MIT
// The property every line shown to a person must have, judged by GLib,
// independently of the code under test: valid UTF-8 without C0 controls,
// DEL, C1 controls or bidirectional controls, a line feed among them.
#ifndef FUZZ_SAFE_LINE_H
#define FUZZ_SAFE_LINE_H

#include <glib.h>

#include <string_view>

inline bool is_unsafe(gunichar c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

// Traps unless line has the property.
inline void check_safe_line(std::string_view line)
{
    if (!g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr))
        __builtin_trap();
    const char *end = line.data() + line.size();
    for (const char *at = line.data(); at < end; at = g_utf8_next_char(at))
        if (is_unsafe(g_utf8_get_char(at)))
            __builtin_trap();
}

#endif
