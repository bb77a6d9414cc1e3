// SPDX-License-Identifier: MIT
// Broadcasting the instance's datagrams out of each interface.
#ifndef OBX_DISCOVERY_BROADCAST_H
#define OBX_DISCOVERY_BROADCAST_H

#include "protocol.h"

#include <chrono>

// Every datagram leaves this long after the event that causes it.
constexpr auto SEND_DELAY = std::chrono::milliseconds(40);

// Broadcasts a datagram of type at once, one copy out of each interface
// that can broadcast. Never throws.
void broadcast_now(ObxDiscovery &self, DatagramType type);

// Waits SEND_DELAY first, which its name does not say, then broadcasts.
// Never throws.
void broadcast_datagram(ObxDiscovery &self, DatagramType type);

#endif
