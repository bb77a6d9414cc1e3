// SPDX-License-Identifier: MIT
// Why a discovery tool lists no camera: what it heard since its instance
// started, told once the start-up datagrams have had time to be answered.
#ifndef TOOLS_COMMON_SILENCE_H
#define TOOLS_COMMON_SILENCE_H

#include <obx_discovery/discovery.h>

#include <atomic>

// The library repeats its start-up probe until 3.5 s after the start, and a
// camera answers 40 ms after a probe: until then no camera may mean none yet.
constexpr unsigned SILENCE_TOLD_AFTER_MS = 4000;

enum class Silence {
    NONE,               // a camera, or a peer of no kind, was heard
    NO_NETWORK,         // nothing heard, and no interface can broadcast
    NOTHING_HEARD,      // not even the tool's own announcement
    ONLY_TOOLS_HEARD,   // the tool itself, or other discovery tools
};

// What an instance reported. Noted on its listener thread, read on any.
class Hearing {
public:
    // For every peer the instance reports.
    void note(ObxPeerType type);
    Silence silence() const;

private:
    std::atomic<bool> anything_{false};
    std::atomic<bool> camera_{false};
};

#endif
