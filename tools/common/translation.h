// SPDX-License-Identifier: MIT
// The tools' texts in the user's language, the gettext way: one text domain,
// GETTEXT_PACKAGE, for both tools, whose catalogues are found relative to
// the running program as its library is, in the build tree and under any
// install prefix alike.
#ifndef TOOLS_COMMON_TRANSLATION_H
#define TOOLS_COMMON_TRANSLATION_H

#include <glib/gi18n.h>

// Sets the locale from the environment and binds the text domain, UTF-8
// whatever the locale's character set, as GTK and GLib expect. Call first
// thing in main, before any text is shown.
void translation_init();

#endif
