// SPDX-License-Identifier: MIT
// The instance record, and the body of its listener thread.
#ifndef OBX_DISCOVERY_INSTANCE_H
#define OBX_DISCOVERY_INSTANCE_H

#include "address_set.h"
#include "diagnostics.h"
#include "protocol.h"
#include "senders.h"

#include <obx_discovery/discovery.h>

#include <atomic>
#include <string>
#include <thread>

struct ObxDiscovery {
    std::atomic<bool> verbose{false};
    std::atomic<bool> should_quit{false};
    ObxPeerType peer_type = OBX_PEER_TYPE_UNKNOWN;
    std::string device_name;
    std::string rtsp_url;
    std::string http_url;
    AddressSet discovered_addresses; // those reported to the callback
    ObxDiscoveryFunc callback = nullptr;
    std::thread listen_thread;
    std::thread discovery_thread; // only sends the start-up probes
    std::thread presence_thread;  // announces, then answers probes
    int sockfd = -1;              // bound to the port; sends go through their own sockets
    void *callback_data = nullptr;
    AnswerSchedule answers;
    ErrorLog errors;
    Clock::time_point started_at = Clock::now();
};

// Internal functions take the instance as ObxDiscovery &self; the exported
// ones take a pointer, as C does.

// Body of the listener thread: runs until should_quit is seen.
void listen_for(ObxDiscovery &self);

#endif
