// SPDX-License-Identifier: MIT
// Receiving datagrams: checks, probe answers and peer reports.
#include "instance.h"
#include "messages.h"

#include <json/reader.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <cxxabi.h>
#include <memory>
#include <optional>

namespace {

std::optional<Json::Value> parse_json(std::string_view text)
{
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

ObxPeerType peer_type_of(const Json::Value &root, std::string_view payload)
{
    if (!root.isMember("type")) {
        report_error("no peer type: " + printable(payload, Layout::KEEP_LINES));
        return OBX_PEER_TYPE_UNKNOWN;
    }
    const Json::Value &type = root["type"];
    if (!type.isString()) {
        report_error("peer type is not string: " + describe(type));
        return OBX_PEER_TYPE_UNKNOWN;
    }
    std::string name = type.asString();
    if (name == "VideoTransmitter")
        return OBX_PEER_TYPE_VIDEO_TRANSMITTER;
    if (name == "Probe")
        return OBX_PEER_TYPE_PROBE;
    report_error("unknown peer type: " + printable(name, Layout::ESCAPE_ALL));
    return OBX_PEER_TYPE_UNKNOWN;
}

// Reads an optional text member into out. False, with a message, when the
// member is there but is not a string.
bool read_text(const Json::Value &root, const char *key, const char *error,
               std::optional<std::string> &out)
{
    if (!root.isMember(key))
        return true;
    const Json::Value &value = root[key];
    if (!value.isString()) {
        report_error(error + describe(value));
        return false;
    }
    out = value.asString();
    return true;
}

const char *text_or_null(const std::optional<std::string> &text)
{
    return text ? text->c_str() : nullptr;
}

void report_peer(ObxDiscovery &self, const Json::Value &root, std::string_view payload,
                 const char *address_string)
{
    ObxPeerDetails details{};
    details.type = peer_type_of(root, payload);

    std::optional<std::string> name, rtsp, http;
    if (!read_text(root, "name", "device name is not string: ", name) ||
        !read_text(root, "rtsp", "RTSP URL is not string: ", rtsp) ||
        !read_text(root, "http", "Web UI URL is not string: ", http))
        return;
    if (rtsp)
        rtsp = complete_url(*rtsp, "rtsp", "rtsps", address_string);
    if (http)
        http = complete_url(*http, "http", "https", address_string);

    details.device_name = text_or_null(name);
    details.rtsp_url = text_or_null(rtsp);
    details.http_url = text_or_null(http);
    self.callback(address_string, details, self.callback_data);
}

} // namespace

DatagramAction handle_datagram(ObxDiscovery &self, const char *received, size_t length,
                               const char *address_string)
{
    // The text ends at the first NUL or at the end of what was read,
    // whichever comes first: a full buffer has no NUL of its own.
    std::string_view payload(received, strnlen(received, length));
    // Built only when wanted: this runs for every datagram of a flood.
    if (self.verbose) {
        trace(true, std::string("received from ") + address_string + ": ",
              printable(payload, Layout::KEEP_LINES));
    }

    std::optional<Json::Value> parsed = parse_json(payload);
    if (!parsed) {
        report_error("json parsing error: " + printable(payload, Layout::KEEP_LINES));
        return DatagramAction::NONE;
    }
    const Json::Value &root = *parsed;
    // A top-level null reads as an empty object; other non-objects would
    // make jsoncpp's member accessors throw.
    if (!root.isObject() && !root.isNull()) {
        report_error("datagram is not an object: " + describe(root));
        return DatagramAction::NONE;
    }

    const Json::Value &version = root["version"];
    if (!version.isInt()) {
        report_error("protocol version is not integer: " + describe(version));
        return DatagramAction::NONE;
    }
    if (version.asInt() != 1) {
        report_error("unsupported protocol version: " + describe(version));
        return DatagramAction::NONE;
    }

    if (root.isMember("probe"))
        return DatagramAction::ANSWER_PROBE;
    if (!self.callback)
        return DatagramAction::NONE;

    if (self.discovered_addresses.count(std::string_view(address_string))) {
        trace(self.verbose, "already reported: ", address_string);
        return DatagramAction::NONE;
    }
    // Recorded before the checks below: a sender that fails them once is
    // never reported by this instance.
    self.discovered_addresses.emplace(address_string);
    report_peer(self, root, payload, address_string);
    return DatagramAction::NONE;
}

namespace {

// Datagrams taken off the socket ahead of their handling. The answers of a
// site's cameras arrive in one burst, faster than they can be parsed, and
// without privilege the socket holds only about 500 of them
// (net.core.rmem_max). So after each datagram it handles, the listener takes
// whatever has arrived, as fast as the kernel copies it, and keeps up to
// CAPACITY here. The pages are given back once a burst has been handled.
class Backlog {
public:
    explicit Backlog(int fd) : fd_(fd)
    {
        void *mapped = mmap(nullptr, MAPPED_BYTES, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped != MAP_FAILED) {
            slots_ = static_cast<Slot *>(mapped);
            capacity_ = CAPACITY;
        }
    }
    Backlog(const Backlog &) = delete;
    Backlog &operator=(const Backlog &) = delete;
    ~Backlog()
    {
        if (slots_ != &single_)
            munmap(slots_, MAPPED_BYTES);
    }

    // Takes what has arrived; with nothing held, first waits for a datagram.
    void fill(bool verbose)
    {
        if (head_ == tail_) {
            release();
            trace(verbose, "receiving datagram...");
            receive(0);
        }
        while (tail_ < capacity_ && receive(MSG_DONTWAIT) > 0) {
        }
    }

    bool empty() const { return head_ == tail_; }

    // Hands the oldest datagram to handle(data, length, sender), then drops
    // it. An empty one carries nothing to handle.
    template <typename Handle> void take(Handle handle)
    {
        Slot &slot = slots_[head_++];
        if (slot.length > 0)
            handle(slot.data, slot.length, slot.sender);
    }

private:
    struct Slot {
        sockaddr_in sender;
        size_t length;
        char data[RECEIVE_BUFFER_SIZE];
    };
    static constexpr size_t CAPACITY = 1024;
    static constexpr size_t MAPPED_BYTES = CAPACITY * sizeof(Slot);
    static constexpr size_t BATCH = 64;

    // Receives into the free slots, BATCH at most; returns how many.
    int receive(int flags)
    {
        mmsghdr messages[BATCH] = {};
        iovec buffers[BATCH];
        unsigned count = static_cast<unsigned>(std::min(BATCH, capacity_ - tail_));
        for (unsigned i = 0; i < count; ++i) {
            Slot &slot = slots_[tail_ + i];
            buffers[i] = {slot.data, sizeof slot.data};
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &slot.sender;
            messages[i].msg_hdr.msg_namelen = sizeof slot.sender;
        }
        int received = recvmmsg(fd_, messages, count, flags | MSG_WAITFORONE, nullptr);
        for (int i = 0; i < received; ++i)
            slots_[tail_++].length = messages[i].msg_len;
        return received;
    }

    // Starts again from the first slot, and gives back the pages that more
    // than one datagram at a time took: memory only while a burst lasts.
    void release()
    {
        if (tail_ > 1 && slots_ != &single_)
            madvise(slots_, MAPPED_BYTES, MADV_DONTNEED);
        head_ = tail_ = 0;
    }

    int fd_;
    Slot single_{}; // if no pages could be mapped: one datagram at a time
    Slot *slots_ = &single_;
    size_t capacity_ = 1;
    size_t head_ = 0;
    size_t tail_ = 0;
};

} // namespace

void listen_for(ObxDiscovery *self)
{
    prctl(PR_SET_NAME, "Discovery Listener");
    // Without a socket every receive would fail at once: nothing to hear.
    if (self->sockfd < 0)
        return;

    Backlog backlog(self->sockfd);
    while (!self->should_quit) {
        try {
            backlog.fill(self->verbose);
            if (backlog.empty())
                continue; // woken without a datagram: shut down, or interrupted
            backlog.take([self](const char *data, size_t length, const sockaddr_in &sender) {
                char address_string[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &sender.sin_addr, address_string, sizeof address_string);
                if (handle_datagram(*self, data, length, address_string) ==
                    DatagramAction::ANSWER_PROBE)
                    note_probe(*self);
            });
        } catch (const abi::__forced_unwind &) {
            throw; // the thread is being cancelled or exited: let it end
        } catch (const std::exception &e) {
            report_error("datagram dropped: ", e.what());
        } catch (...) {
            // A callback may throw anything; the listener must outlive it.
            report_error("datagram dropped: unknown exception");
        }
    }
}
