// SPDX-License-Identifier: MIT
// The property every line shown to a person must have, judged by Unicode's
// data, independently of the code under test: valid UTF-8 without controls
// (Cc: C0, DEL, C1, a line feed among them), line or paragraph separators
// (Zl, Zp) or Bidi_Control characters. GLib knows the categories; the
// property comes from Unicode's PropList.txt.
#ifndef FUZZ_SAFE_LINE_H
#define FUZZ_SAFE_LINE_H

#include "bidi_control.h"

#include <glib.h>

#include <string_view>

inline bool has_bidi_control(gunichar c)
{
    for (const gunichar *range : BIDI_CONTROL)
        if (c >= range[0] && c <= range[1])
            return true;
    return false;
}

inline bool is_unsafe(gunichar c)
{
    switch (g_unichar_type(c)) {
    case G_UNICODE_CONTROL:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
        return true;
    default:
        return has_bidi_control(c);
    }
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
