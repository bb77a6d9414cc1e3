// SPDX-License-Identifier: MIT
// Fuzz target: the protocol's reading of one received datagram, without
// sockets. Input: the sender's IPv4 address (4 bytes), then the datagram as
// received. Every diagnostic it yields must be safe to write as it is: one
// line, valid UTF-8, no C0 control, DEL, C1 or bidirectional control, and
// no longer than the limit. The report's texts are read in full so that the
// sanitizers check them. GLib judges the UTF-8, independently of the code
// under test. A datagram is read exactly when the value that jsoncpp builds
// of it nests at most 16 deep and holds at most 64 values, judged on that
// tree, not on the text the code under test scans.
#include <obx_internal/peer_text.h>
#include "obx_discovery/protocol.h"
#include "safe_line.h"

#include <json/reader.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
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

struct Extent {
    int depth;
    int values;
};

Extent extent_of(const Json::Value &value)
{
    Extent extent{0, 1};
    if (value.isArray() || value.isObject()) {
        for (const Json::Value &member : value) {
            Extent inner = extent_of(member);
            extent.depth = std::max(extent.depth, inner.depth);
            extent.values += inner.values;
        }
        ++extent.depth;
    }
    return extent;
}

// The tree that jsoncpp builds of text, as the library's reader is set up;
// with repeated_names false, only if no name repeats, so that the tree holds
// every value of the text.
std::optional<Json::Value> tree_of(std::string_view text, bool repeated_names)
{
    Json::CharReaderBuilder builder;
    builder["allowTrailingCommas"] = false;
    builder["rejectDupKeys"] = !repeated_names;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    try {
        if (reader->parse(text.data(), text.data() + text.size(), &root, nullptr))
            return root;
    } catch (const Json::Exception &) {
    }
    return std::nullopt;
}

bool within_limits(const Json::Value &root)
{
    Extent extent = extent_of(root);
    return extent.depth <= 16 && extent.values <= 64;
}

void check_limits(std::string_view payload, const Diagnostics &diagnostics)
{
    bool read = diagnostics.empty() ||
                diagnostics.front().line().rfind("json parsing error: ", 0) != 0;
    auto tree = tree_of(payload, true);
    if (tree && !within_limits(*tree) && read)
        __builtin_trap(); // read although beyond the limits
    auto whole_tree = tree_of(payload, false);
    if (whole_tree && within_limits(*whole_tree) && !read)
        __builtin_trap(); // within the limits, yet not read
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
    DatagramKind kind = decode_header(payload, root, diagnostics);
    if (!payload.empty())
        check_limits(payload, diagnostics);
    if (kind == DatagramKind::PRESENCE) {
        if (auto peer = decode_peer(root, payload, address_string, diagnostics))
            read_in_full(peer->details());
    }
    for (const Diagnostic &diagnostic : diagnostics)
        check_diagnostic(diagnostic.line());
    return 0;
}
