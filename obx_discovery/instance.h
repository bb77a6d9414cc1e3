// SPDX-License-Identifier: MIT
// The instance record and the library's internal entry points.
#ifndef OBX_DISCOVERY_INSTANCE_H
#define OBX_DISCOVERY_INSTANCE_H

#include "address_set.h"
#include "discovery.h"
#include "diagnostics.h"
#include "protocol.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Every datagram leaves this long after the event that causes it.
constexpr auto SEND_DELAY = std::chrono::milliseconds(40);

using Clock = std::chrono::steady_clock;

// The start-up probe and presence leave again at these times after the
// start. Broadcasts are never acknowledged, and Wi-Fi loses a tenth to a
// third of them: with four probes, a start lists nothing only if all four
// are lost. Each repeat draws an answer from every camera, so they are few.
constexpr std::chrono::milliseconds STARTUP_REPEATS[] = {std::chrono::milliseconds(500),
                                                         std::chrono::milliseconds(1500),
                                                         std::chrono::milliseconds(3500)};

// When the presence thread answers the probes the listener has heard. Its
// mutex and condition also wake the start-up threads when the instance stops.
struct AnswerSchedule {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<Clock::time_point> due; // set while a probe waits for its answer
    Clock::time_point last_answer;
    Clock::time_point latest_probe;
};

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

// Broadcasts one datagram at once, out of every interface that can
// broadcast. Never throws.
void broadcast_now(ObxDiscovery &self, DatagramType type);

// Waits SEND_DELAY first, which its name does not say, then broadcasts.
// Never throws.
void broadcast_datagram(ObxDiscovery &self, DatagramType type);

// Body of the presence thread: the start-up presence and its repeats, and an
// answer to the probes the listener notes, until should_quit is seen.
void announce_and_answer(ObxDiscovery &self);

// Body of the discovery thread: the start-up probe and its repeats, until
// should_quit is seen.
void probe_at_start(ObxDiscovery &self);

// Called by the listener for each probe it hears; never waits for a send.
void note_probe(ObxDiscovery &self);

// Makes the presence and discovery threads see should_quit, once it has been
// set: a repeat not yet due is not waited for.
void wake_senders(ObxDiscovery &self);

// Body of the listener thread: runs until should_quit is seen.
void listen_for(ObxDiscovery &self);

#endif
