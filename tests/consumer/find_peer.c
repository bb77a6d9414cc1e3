// SPDX-License-Identifier: MIT
/* An outside program built against an installed copy of the library: it
 * exits 0 as soon as it hears a peer (its own announcement will do). */
#define _POSIX_C_SOURCE 200809L

#include <obx_discovery/discovery.h>

#include <semaphore.h>
#include <stdio.h>
#include <time.h>

static void on_discovery(const char *address_string, ObxPeerDetails details, void *user_data)
{
    printf("%s %u\n", address_string, (unsigned)details.type);
    sem_post(user_data);
}

int main(void)
{
    sem_t heard;
    sem_init(&heard, 0, 0);
    ObxPeerDetails me = {OBX_PEER_TYPE_PROBE, NULL, NULL, NULL};
    ObxDiscovery *discovery = obx_discovery_new(me, on_discovery, &heard);

    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    int found = sem_timedwait(&heard, &deadline) == 0;
    obx_discovery_free(discovery);
    return found ? 0 : 1;
}
