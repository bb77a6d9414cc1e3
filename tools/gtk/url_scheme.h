// SPDX-License-Identifier: MIT
// A peer chooses the URL it announces: opening any scheme with the desktop's
// default handler would let it start whatever program claims that scheme, so
// each action opens the schemes it names only.
#ifndef OMBRIX_DISCOVERY_GTK_URL_SCHEME_H
#define OMBRIX_DISCOVERY_GTK_URL_SCHEME_H

#include <glib.h>

#include <initializer_list>

// Whether url's scheme is one of schemes, ignoring case.
inline gboolean url_scheme_is_one_of(const gchar *url, std::initializer_list<const char *> schemes)
{
    gchar *scheme = g_uri_parse_scheme(url);
    gboolean found = FALSE;
    for (const char *known : schemes)
        found = found || (scheme && g_ascii_strcasecmp(scheme, known) == 0);
    g_free(scheme);
    return found;
}

#endif
