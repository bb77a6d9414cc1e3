// SPDX-License-Identifier: MIT
// The two sender threads: the presence thread, which announces and answers
// probes, and the discovery thread, which sends the start-up probes.
#ifndef OBX_DISCOVERY_SENDERS_H
#define OBX_DISCOVERY_SENDERS_H

#include <obx_discovery/discovery.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

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

#endif
