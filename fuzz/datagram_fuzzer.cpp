// SPDX-License-Identifier: MIT
// Fuzz target: the listener's handling of one received datagram, without
// sockets. Input: the sender's IPv4 address (4 bytes), then the datagram as
// received. Out: messages, the answer decision and the report, whose texts
// are read in full so that the sanitizers check them.
#include "obx_discovery/instance.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char *expected_address = nullptr;

void check_report(const char *address_string, ObxPeerDetails details, void *)
{
    if (strcmp(address_string, expected_address) != 0)
        __builtin_trap();
    for (const char *text : {details.device_name, details.rtsp_url, details.http_url})
        if (text)
            (void)strlen(text);
}

ObxDiscovery &instance()
{
    static ObxDiscovery *self = [] {
        auto *created = new ObxDiscovery;
        created->callback = check_report;
        created->verbose = true;
        return created;
    }();
    return *self;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size <= 4)
        return 0; // the listener never hands over an empty datagram
    in_addr sender;
    memcpy(&sender, data, 4);
    char address_string[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sender, address_string, sizeof address_string);
    expected_address = address_string;

    // An exact-size copy, so that any read past what was received is caught.
    size_t length = std::min(size - 4, RECEIVE_BUFFER_SIZE);
    std::vector<char> received(data + 4, data + 4 + length);

    // Each input is the first datagram heard from its sender: otherwise every
    // input from an address already reported stops before the report, and
    // the seeds, which share one address, would reach it only once.
    ObxDiscovery &self = instance();
    self.discovered_addresses.clear();
    handle_datagram(self, received.data(), received.size(), address_string);
    return 0;
}
