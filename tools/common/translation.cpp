// SPDX-License-Identifier: MIT
#include "translation.h"

#include <clocale>

void translation_init()
{
    setlocale(LC_ALL, "");
    // Where the program is, if the kernel says; without, it speaks English.
    gchar *program = g_file_read_link("/proc/self/exe", nullptr);
    if (program) {
        gchar *folder = g_path_get_dirname(program);
        gchar *catalogues = g_build_filename(folder, OBX_LOCALEDIR_FROM_BINDIR, nullptr);
        bindtextdomain(GETTEXT_PACKAGE, catalogues);
        g_free(catalogues);
        g_free(folder);
        g_free(program);
    }
    bind_textdomain_codeset(GETTEXT_PACKAGE, "UTF-8");
    textdomain(GETTEXT_PACKAGE);
}
