// SPDX-License-Identifier: MIT
// The discovery protocol, version 1, with no socket, thread or instance:
// the text of a datagram, and the steps of reading one. Each step that finds
// fault says so in diagnostics, each written as one line with the peer's part
// escaped and bounded (peer_text.h).
#ifndef OBX_DISCOVERY_PROTOCOL_H
#define OBX_DISCOVERY_PROTOCOL_H

#include <obx_discovery/discovery.h>

#include <json/value.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr unsigned short DISCOVERY_PORT = 13702;

// Receivers read at most this much of a datagram.
constexpr size_t RECEIVE_BUFFER_SIZE = 1024;

enum class DatagramType { PROBE, PRESENCE };

// The JSON text of a datagram that describes its sender. Empty texts are
// left out, and the URLs go out only for a camera.
std::string encode_datagram(DatagramType type, ObxPeerType peer_type,
                            const std::string &device_name, const std::string &rtsp_url,
                            const std::string &http_url);

// What a step has to say: its own words, then what the peer sent, as text
// or as a value. It refers to the datagram's text and parsed value, and is
// valid while they are.
class Diagnostic {
public:
    Diagnostic(const char *text, std::string_view peer_text) : text_(text), peer_text_(peer_text) {}
    Diagnostic(const char *text, const Json::Value &value) : text_(text), value_(&value) {}

    // The line to write, without its line feed. Built only when asked for,
    // as writing a value costs more than reading it.
    std::string line() const;

private:
    const char *text_;
    std::string_view peer_text_;
    const Json::Value *value_ = nullptr;
};

using Diagnostics = std::vector<Diagnostic>;

// The text of length received bytes: up to the first NUL, or all of them.
std::string_view payload_text(const char *received, size_t length);

enum class DatagramKind { MALFORMED, PROBE, PRESENCE };

// First step: parses payload into root and checks that it is an object of
// version 1; then tells a probe from a presence. MALFORMED comes with a
// message, except for an empty payload.
DatagramKind decode_header(std::string_view payload, Json::Value &root, Diagnostics &diagnostics);

// What a presence tells of its sender, the texts owned here.
struct PeerDescription {
    ObxPeerType type = OBX_PEER_TYPE_UNKNOWN;
    std::optional<std::string> device_name;
    std::optional<std::string> rtsp_url;
    std::optional<std::string> http_url;

    // Points into this description: valid while it lives unchanged.
    ObxPeerDetails details() const;
};

// Second step, for a presence from a sender not yet reported: its members,
// with URLs whose host was left empty completed with sender_address. A
// problem with "type" costs only the kind; a name or URL that is not a text
// drops the peer. Either way with a message.
std::optional<PeerDescription> decode_peer(const Json::Value &root, std::string_view payload,
                                           const char *sender_address, Diagnostics &diagnostics);

#endif
