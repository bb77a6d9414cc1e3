// SPDX-License-Identifier: MIT
/* The public header must serve C callers: this file is compiled as strict C.
 * It also checks that a null instance is accepted and ignored. */
#include <obx_discovery/discovery.h>

#include <stddef.h>

static void on_discovery(const char *address_string, ObxPeerDetails details, void *user_data)
{
    (void)address_string;
    (void)details;
    (void)user_data;
}

int main(void)
{
    ObxDiscoveryFunc callback = on_discovery;
    ObxPeerDetails details = {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "name", NULL, NULL};
    ObxDiscovery *none = NULL;

    (void)callback;
    (void)details;
    obx_discovery_set_verbose(none, true);
    obx_discovery_free(none);
    return 0;
}
