// SPDX-License-Identifier: MIT
#include "protocol.h"

#include <obx_internal/peer_text.h>

#include <json/reader.h>
#include <json/writer.h>

#include <cstring>
#include <memory>

namespace {

const Json::StreamWriterBuilder &datagram_writer()
{
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["emitUTF8"] = true; // names in any language go out as UTF-8, not \u escapes
        return b;
    }();
    return builder;
}

// A value in a message: on one line, without the comments the reader kept.
std::string compact(const Json::Value &value)
{
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["indentation"] = "";
        b["commentStyle"] = "None";
        b["emitUTF8"] = true;
        return b;
    }();
    return Json::writeString(builder, value);
}

// The most a datagram may nest and hold, in values of any kind (a member's
// name is not one), before the reader is given it. A probe nests 2 deep and
// a presence holds about 6; the reader's cost grows with both, not with length.
constexpr int MOST_DEPTH = 16;
constexpr int MOST_VALUES = 64;

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Where the string that opens at text[at] ends, past its closing quote.
size_t after_string(std::string_view text, size_t at)
{
    for (++at; at < text.size(); ++at) {
        if (text[at] == '\\')
            ++at;
        else if (text[at] == '"')
            return at + 1;
    }
    return std::string_view::npos;
}

// Where the comment that opens at text[at] ends; npos where the reader
// would fail on it.
size_t after_comment(std::string_view text, size_t at)
{
    if (text.substr(at, 2) == "/*") {
        size_t end = text.find("*/", at + 2);
        return end == std::string_view::npos ? end : end + 2;
    }
    if (text.substr(at, 2) == "//") {
        size_t end = text.find_first_of("\r\n", at + 2);
        return end == std::string_view::npos ? text.size() : end;
    }
    return std::string_view::npos;
}

// Where the number or literal that starts at text[at] ends.
size_t after_word(std::string_view text, size_t at)
{
    const std::string_view delimiters = "{}[],:\"/";
    while (at < text.size() && !is_space(text[at]) &&
           delimiters.find(text[at]) == std::string_view::npos)
        ++at;
    return at;
}

// Whether the first value of text, as the reader reads it (comments, strings
// with escapes, a byte order mark; what follows the value unread), nests at
// most MOST_DEPTH deep and holds at most MOST_VALUES values. One pass that
// allocates nothing. Text that the reader fails on may pass: it stops at the
// same place, having built no more than this pass allows.
bool within_limits(std::string_view text)
{
    size_t at = text.substr(0, 3) == "\xef\xbb\xbf" ? 3 : 0;
    int depth = 0, values = 0;
    bool string_before = false; // a value, unless a colon makes it a name
    while (at < text.size()) {
        char c = text[at];
        if (is_space(c)) {
            ++at;
            continue;
        }
        if (c == '/') {
            at = after_comment(text, at);
            if (at == std::string_view::npos)
                return true;
            continue;
        }
        if (string_before && c != ':')
            ++values;
        string_before = false;
        if (values > MOST_VALUES)
            return false;
        if (c == '[' || c == '{') {
            ++values;
            if (++depth > MOST_DEPTH)
                return false;
            ++at;
        } else if (c == ']' || c == '}') {
            if (--depth <= 0)
                return values <= MOST_VALUES;
            ++at;
        } else if (c == ',' || c == ':') {
            ++at;
        } else if (c == '"') {
            at = after_string(text, at);
            if (at == std::string_view::npos)
                return true;
            string_before = true;
        } else {
            ++values;
            at = after_word(text, at);
        }
        if (depth == 0)
            return values + string_before <= MOST_VALUES; // the first value was a plain one
    }
    return values + string_before <= MOST_VALUES;
}

std::optional<Json::Value> parse_json(std::string_view text)
{
    if (!within_limits(text))
        return std::nullopt;
    static const Json::CharReaderBuilder builder = [] {
        Json::CharReaderBuilder b;
        b["allowTrailingCommas"] = false;
        return b;
    }();
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr))
            return std::nullopt;
    } catch (const Json::Exception &) {
        // Nesting beyond the reader's stack limit: as malformed as any other.
        return std::nullopt;
    }
    return root;
}

void replace_all(std::string &text, const std::string &pattern, const std::string &replacement)
{
    for (size_t at = text.find(pattern); at != std::string::npos;
         at = text.find(pattern, at + replacement.size())) {
        text.replace(at, pattern.size(), replacement);
    }
}

// Fills in the host that a sender left empty ("rtsp:///x", "http://:80/").
std::string complete_url(std::string url, const std::string &scheme, const char *address)
{
    replace_all(url, scheme + ":///", scheme + "://" + address + "/");
    replace_all(url, scheme + "://:", scheme + "://" + address + ":");
    return url;
}

// The same for a member's plain scheme and its secure one: a camera that
// serves only HTTPS leaves its host empty just as well.
std::string complete_url(const std::string &url, const std::string &scheme,
                         const std::string &secure_scheme, const char *address)
{
    return complete_url(complete_url(url, scheme, address), secure_scheme, address);
}

ObxPeerType peer_type_of(const Json::Value &root, std::string_view payload, Diagnostics &diagnostics)
{
    if (!root.isMember("type")) {
        diagnostics.emplace_back("no peer type: ", payload);
        return OBX_PEER_TYPE_UNKNOWN;
    }
    const Json::Value &type = root["type"];
    if (!type.isString()) {
        diagnostics.emplace_back("peer type is not string: ", type);
        return OBX_PEER_TYPE_UNKNOWN;
    }
    const char *begin = nullptr, *end = nullptr;
    type.getString(&begin, &end);
    std::string_view name(begin, static_cast<size_t>(end - begin));
    if (name == "VideoTransmitter")
        return OBX_PEER_TYPE_VIDEO_TRANSMITTER;
    if (name == "Probe")
        return OBX_PEER_TYPE_PROBE;
    diagnostics.emplace_back("unknown peer type: ", name);
    return OBX_PEER_TYPE_UNKNOWN;
}

// Reads an optional text member into out. False, with a message, when the
// member is there but is not a string.
bool read_text(const Json::Value &root, const char *key, const char *error,
               std::optional<std::string> &out, Diagnostics &diagnostics)
{
    if (!root.isMember(key))
        return true;
    const Json::Value &value = root[key];
    if (!value.isString()) {
        diagnostics.emplace_back(error, value);
        return false;
    }
    out = value.asString();
    return true;
}

const char *text_or_null(const std::optional<std::string> &text)
{
    return text ? text->c_str() : nullptr;
}

} // namespace

std::string encode_datagram(DatagramType type, ObxPeerType peer_type,
                            const std::string &device_name, const std::string &rtsp_url,
                            const std::string &http_url)
{
    Json::Value root(Json::objectValue);
    root["version"] = 1;
    if (type == DatagramType::PROBE)
        root["probe"] = Json::Value(Json::objectValue);
    if (peer_type == OBX_PEER_TYPE_PROBE) {
        root["type"] = "Probe";
    } else if (peer_type == OBX_PEER_TYPE_VIDEO_TRANSMITTER) {
        root["type"] = "VideoTransmitter";
        if (!rtsp_url.empty())
            root["rtsp"] = rtsp_url;
        if (!http_url.empty())
            root["http"] = http_url;
    }
    if (!device_name.empty())
        root["name"] = device_name;
    return Json::writeString(datagram_writer(), root);
}

std::string_view payload_text(const char *received, size_t length)
{
    if (length == 0)
        return {}; // received may then be null
    // A full buffer has no NUL of its own.
    return {received, strnlen(received, length)};
}

DatagramKind decode_header(std::string_view payload, Json::Value &root, Diagnostics &diagnostics)
{
    if (payload.empty())
        return DatagramKind::MALFORMED;
    std::optional<Json::Value> parsed = parse_json(payload);
    if (!parsed) {
        diagnostics.emplace_back("json parsing error: ", payload);
        return DatagramKind::MALFORMED;
    }
    root = std::move(*parsed);
    // A top-level null reads as an empty object; other non-objects would
    // make jsoncpp's member accessors throw.
    if (!root.isObject() && !root.isNull()) {
        diagnostics.emplace_back("datagram is not an object: ", root);
        return DatagramKind::MALFORMED;
    }
    const Json::Value &version = root["version"];
    if (!version.isInt()) {
        diagnostics.emplace_back("protocol version is not integer: ", version);
        return DatagramKind::MALFORMED;
    }
    if (version.asInt() != 1) {
        diagnostics.emplace_back("unsupported protocol version: ", version);
        return DatagramKind::MALFORMED;
    }
    return root.isMember("probe") ? DatagramKind::PROBE : DatagramKind::PRESENCE;
}

std::optional<PeerDescription> decode_peer(const Json::Value &root, std::string_view payload,
                                           const char *sender_address, Diagnostics &diagnostics)
{
    PeerDescription peer;
    peer.type = peer_type_of(root, payload, diagnostics);
    if (!read_text(root, "name", "device name is not string: ", peer.device_name, diagnostics) ||
        !read_text(root, "rtsp", "RTSP URL is not string: ", peer.rtsp_url, diagnostics) ||
        !read_text(root, "http", "Web UI URL is not string: ", peer.http_url, diagnostics))
        return std::nullopt;
    if (peer.rtsp_url)
        peer.rtsp_url = complete_url(*peer.rtsp_url, "rtsp", "rtsps", sender_address);
    if (peer.http_url)
        peer.http_url = complete_url(*peer.http_url, "http", "https", sender_address);
    return peer;
}

std::string Diagnostic::line() const
{
    return escaped_line(text_, value_ ? compact(*value_) : peer_text_);
}

ObxPeerDetails PeerDescription::details() const
{
    return {type, text_or_null(device_name), text_or_null(rtsp_url), text_or_null(http_url)};
}
