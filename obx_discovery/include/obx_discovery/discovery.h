/* SPDX-License-Identifier: MIT */
/*
 * libobx_discovery: zero-configuration discovery of network cameras on the
 * local IPv4 network.
 *
 * An instance announces its owner with a JSON datagram broadcast on UDP port
 * 13702 when it starts and whenever it hears a probe. Given a callback, it
 * also probes the network once at start and reports every peer it hears,
 * once per peer address.
 *
 * Ownership: the caller owns an instance from obx_discovery_new() until it
 * passes it to obx_discovery_free(). The texts in the details given to
 * obx_discovery_new() are copied; the caller may release them on return.
 *
 * Threads: each instance runs its own threads. The callback runs on the
 * instance's listener thread, one call at a time, and may run before
 * obx_discovery_new() has returned: whatever it uses must be ready before
 * the call, and it cannot rely on the returned pointer. The texts it receives
 * belong to the library and are valid only during the call: copy what you
 * keep. obx_discovery_free() waits for a callback in progress, so never call
 * it from the instance's own callback.
 *
 * Errors are not returned: every problem is written as one line on standard
 * error, and the instance carries on. No thread of the library waits for
 * standard error, whatever it is: a line it cannot take at once is counted
 * and the count told later. No message raises SIGPIPE.
 */
#ifndef OBX_DISCOVERY_DISCOVERY_H
#define OBX_DISCOVERY_DISCOVERY_H

#include <stdbool.h>

#if defined(__GNUC__)
#define OBX_DISCOVERY_EXPORT __attribute__((visibility("default")))
#else
#define OBX_DISCOVERY_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The kind of a peer: an unsigned enumeration. C++ states the underlying type
 * that C compilers choose, so that a value outside the list, which a C caller
 * may pass, is still valid there. */
#ifdef __cplusplus
typedef enum ObxPeerType : unsigned int {
#else
typedef enum ObxPeerType {
#endif
    OBX_PEER_TYPE_UNKNOWN = 0,           /* kind not announced or not recognised */
    OBX_PEER_TYPE_PROBE = 1,             /* a discovery tool */
    OBX_PEER_TYPE_VIDEO_TRANSMITTER = 2  /* a camera: video stream and web interface */
} ObxPeerType;

/* A description of a peer: the caller's own, or one heard on the network.
 * Any text may be NULL. A URL may leave its host empty ("rtsp:///live",
 * "http://:80/"); receivers fill in the address the datagram came from. */
typedef struct ObxPeerDetails {
    ObxPeerType type;
    const char *device_name;
    const char *rtsp_url;  /* the video stream */
    const char *http_url;  /* the web interface */
} ObxPeerDetails;

/* Called once per newly heard peer address, on the listener thread.
 * address_string is the peer's IPv4 address in dotted decimal. */
typedef void (*ObxDiscoveryFunc)(const char *address_string, ObxPeerDetails details,
                                 void *user_data);

typedef struct ObxDiscovery ObxDiscovery;

/* Creates an instance that binds UDP port 13702, announces details 40 ms
 * later and, if callback is not NULL, also probes the network and reports
 * peers to it with user_data. Both start-up datagrams are repeated 0.5, 1.5
 * and 3.5 s after the start, as broadcasts may be lost. Returns NULL only
 * when out of memory. */
OBX_DISCOVERY_EXPORT ObxDiscovery *obx_discovery_new(ObxPeerDetails details,
                                                     ObxDiscoveryFunc callback,
                                                     void *user_data);

/* Switches tracing of every datagram sent and received on standard output.
 * Off at creation, so what the instance's threads do before the switch is
 * not traced. Does nothing when obx_discovery is NULL. */
OBX_DISCOVERY_EXPORT void obx_discovery_set_verbose(ObxDiscovery *obx_discovery, bool verbose);

/* Stops the instance and releases it. Blocks until its threads have ended:
 * the first start-up datagrams, if still pending, are sent first; repeats
 * not yet due are not. Does nothing when self is NULL. */
OBX_DISCOVERY_EXPORT void obx_discovery_free(ObxDiscovery *self);

#ifdef __cplusplus
}
#endif

#endif /* OBX_DISCOVERY_DISCOVERY_H */
