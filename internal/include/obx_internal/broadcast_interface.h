// SPDX-License-Identifier: MIT
// Which interfaces a broadcast leaves through: the library sends out of
// each, and the tools tell their user when there is none.
#ifndef OBX_INTERNAL_BROADCAST_INTERFACE_H
#define OBX_INTERNAL_BROADCAST_INTERFACE_H

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

// Whether entry is an IPv4 address of an interface, other than loopback,
// that is up and can broadcast.
inline bool can_broadcast(const ifaddrs &entry)
{
    unsigned flags = entry.ifa_flags;
    return entry.ifa_addr && entry.ifa_addr->sa_family == AF_INET && (flags & IFF_UP) &&
           (flags & IFF_BROADCAST) && !(flags & IFF_LOOPBACK);
}

#endif
