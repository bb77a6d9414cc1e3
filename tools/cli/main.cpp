// SPDX-License-Identifier: MIT
// ombrix-discovery-cli: prints one line per peer discovered on the local
// network, until it is killed.
#include "peer_line.h"

#include <obx_discovery/discovery.h>

#include <glib.h>

#include <clocale>

namespace {

gboolean verbose = FALSE;

GOptionEntry entries[] = {
    {"verbose", 'v', 0, G_OPTION_ARG_NONE, &verbose, "Increase verbosity", nullptr},
    {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
};

void on_discovery(const char *address_string, ObxPeerDetails details, void *)
{
    gchar *line = peer_line_new(address_string, details);
    g_print("%s\n", line);
    g_free(line);
}

gboolean parse_command_line(int *argc, char ***argv)
{
    GOptionContext *context = g_option_context_new(nullptr);
    GOptionGroup *group = g_option_group_new(nullptr, nullptr, nullptr, nullptr, nullptr);
    g_option_group_add_entries(group, entries);
    g_option_context_set_main_group(context, group);

    GError *error = nullptr;
    gboolean parsed = g_option_context_parse(context, argc, argv, &error);
    if (!parsed) {
        g_printerr("%s\n", error->message);
        g_error_free(error);
    }
    g_option_context_free(context);
    return parsed;
}

} // namespace

int main(int argc, char **argv)
{
    // g_print converts to the locale's character set: without this, every
    // non-ASCII character of a camera's name would print as "?".
    setlocale(LC_ALL, "");

    if (!parse_command_line(&argc, &argv))
        return 1;

    ObxPeerDetails details{};
    details.type = OBX_PEER_TYPE_PROBE;
    ObxDiscovery *discovery = obx_discovery_new(details, on_discovery, nullptr);
    obx_discovery_set_verbose(discovery, verbose);

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(loop);

    g_main_loop_unref(loop);
    obx_discovery_free(discovery);
    return 0;
}
