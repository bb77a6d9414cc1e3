// SPDX-License-Identifier: MIT
/* The other half: a device that looks for cameras, such as a recorder. It
 * probes once, prints one line per peer that answers or announces itself
 * for a few seconds, then stops.
 *
 * The whole integration is obx_discovery_new() with a callback, and
 * obx_discovery_free(); see on_peer() below. */
#include <obx_discovery/discovery.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static const char usage[] =
    "Usage: %s [SECONDS]\n"
    "Look for cameras on the local network for SECONDS (default 2), printing\n"
    "each peer's address, then its name, web interface and video stream as\n"
    "far as it sent them.\n";

/* Names and URLs come from the network: no control character reaches the
 * terminal. */
static void print_field(const char *text)
{
    if (text == NULL)
        return;
    putchar(' ');
    for (const unsigned char *at = (const unsigned char *)text; *at; ++at)
        putchar(*at < 0x20 || *at == 0x7f ? '?' : *at);
}

/* Called on the library's listener thread, once per peer address. */
static void on_peer(const char *address, ObxPeerDetails details, void *user_data)
{
    (void)user_data;
    flockfile(stdout);
    fputs(address, stdout);
    print_field(details.device_name);
    print_field(details.http_url);
    print_field(details.rtsp_url);
    putchar('\n');
    fflush(stdout);
    funlockfile(stdout);
}

int main(int argc, char **argv)
{
    char *end = NULL;
    long seconds = argc > 1 ? strtol(argv[1], &end, 10) : 2;
    if (argc > 2 || (end != NULL && (*end != '\0' || seconds < 0))) {
        fprintf(stderr, usage, argv[0]);
        return EXIT_FAILURE;
    }
    ObxPeerDetails details = {OBX_PEER_TYPE_PROBE, NULL, NULL, NULL};
    ObxDiscovery *discovery = obx_discovery_new(details, on_peer, NULL);
    sleep((unsigned)seconds);
    obx_discovery_free(discovery);
    return EXIT_SUCCESS;
}
