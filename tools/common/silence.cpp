// SPDX-License-Identifier: MIT
#include "silence.h"

#include <obx_internal/broadcast_interface.h>

#include <memory>

namespace {

bool has_broadcast_interface()
{
    ifaddrs *listed = nullptr;
    if (getifaddrs(&listed) < 0)
        return true; // unknown: the more likely causes are told instead
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(listed, freeifaddrs);
    for (const ifaddrs *entry = listed; entry; entry = entry->ifa_next) {
        if (can_broadcast(*entry))
            return true;
    }
    return false;
}

} // namespace

void Hearing::note(ObxPeerType type)
{
    anything_ = true;
    if (type != OBX_PEER_TYPE_PROBE)
        camera_ = true;
}

Silence Hearing::silence() const
{
    if (camera_)
        return Silence::NONE;
    if (anything_)
        return Silence::ONLY_TOOLS_HEARD;
    return has_broadcast_interface() ? Silence::NOTHING_HEARD : Silence::NO_NETWORK;
}
