// SPDX-License-Identifier: MIT
// Fuzz target: the protocol's reading of one received datagram, without
// sockets. Input: the sender's IPv4 address (4 bytes), then the datagram as
// received. Every diagnostic it yields must be safe to write as it is: one
// line, valid UTF-8, no C0 control, DEL, C1 or bidirectional control, and
// no longer than the limit. The report's texts are read in full so that the
// sanitizers check them. GLib judges the UTF-8, independently of the code
// under test.
#include "obx_discovery/peer_text.h"
#include "obx_discovery/protocol.h"
#include "safe_line.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

void check_diagnostic(const std::string &line)
{
    if (line.size() + 1 > ESCAPED_LINE_LIMIT)
        __builtin_trap();
    check_safe_line(line);
}

void read_in_full(ObxPeerDetails details)
{
    for (const char *text : {details.device_name, details.rtsp_url, details.http_url})
        if (text)
            (void)strlen(text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    in_addr sender;
    memcpy(&sender, data, 4);
    char address_string[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sender, address_string, sizeof address_string);

    // An exact-size copy, so that any read past what was received is caught.
    size_t length = std::min(size - 4, RECEIVE_BUFFER_SIZE);
    std::vector<char> received(data + 4, data + 4 + length);
    std::string_view payload = payload_text(received.data(), received.size());

    Diagnostics diagnostics;
    Json::Value root;
    if (decode_header(payload, root, diagnostics) == DatagramKind::PRESENCE) {
        if (auto peer = decode_peer(root, payload, address_string, diagnostics))
            read_in_full(peer->details());
    }
    for (const Diagnostic &diagnostic : diagnostics)
        check_diagnostic(diagnostic.line());
    return 0;
}
