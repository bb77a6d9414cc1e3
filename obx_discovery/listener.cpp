// SPDX-License-Identifier: MIT
// Receiving datagrams: checks, probe answers and peer reports.
#include "diagnostics.h"
#include "instance.h"

#include <obx_internal/peer_text.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cxxabi.h>
#include <string>

namespace {

void write_diagnostics(ObxDiscovery &self, const Diagnostics &diagnostics)
{
    for (const Diagnostic &diagnostic : diagnostics)
        self.errors.write_line([&] { return diagnostic.line(); });
}

enum class DatagramAction { NONE, ANSWER_PROBE };

// Checks one received datagram, the length bytes at received (at most
// RECEIVE_BUFFER_SIZE), from sender, and reports its sender if it is a new
// peer. Tells whether the datagram was a probe to answer. Never reads past
// length. Throws when memory runs out, and whatever the callback throws.
DatagramAction handle_datagram(ObxDiscovery &self, const char *received, size_t length,
                               in_addr sender)
{
    char address_string[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sender, address_string, sizeof address_string);
    std::string_view payload = payload_text(received, length);
    // Built only when wanted: this runs for every datagram of a flood.
    if (self.verbose)
        trace(true, escaped_line(std::string("received from ") + address_string + ": ", payload));

    Diagnostics header_diagnostics;
    Json::Value root;
    DatagramKind kind = decode_header(payload, root, header_diagnostics);
    write_diagnostics(self, header_diagnostics);
    if (kind == DatagramKind::PROBE)
        return DatagramAction::ANSWER_PROBE;
    if (kind != DatagramKind::PRESENCE || !self.callback)
        return DatagramAction::NONE;

    // Recorded before the members are read: a sender that fails them once
    // is never reported by this instance.
    if (!self.discovered_addresses.insert(sender)) {
        trace(self.verbose, "already reported: ", address_string);
        return DatagramAction::NONE;
    }
    Diagnostics member_diagnostics;
    std::optional<PeerDescription> peer =
        decode_peer(root, payload, address_string, member_diagnostics);
    write_diagnostics(self, member_diagnostics);
    if (peer)
        self.callback(address_string, peer->details(), self.callback_data);
    return DatagramAction::NONE;
}

// Datagrams taken off the socket ahead of their handling: a burst of answers
// arrives faster than it can be parsed, and may not fit the socket's buffer.
// After each datagram it handles, the listener takes whatever has arrived and
// keeps up to CAPACITY here; the pages go back once a burst has been handled.
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

    // Takes what has arrived; with nothing held, first waits for a datagram,
    // for at most timeout_ms if that is not -1.
    void fill(bool verbose, int timeout_ms)
    {
        if (head_ == tail_) {
            release();
            trace(verbose, "receiving datagram...");
            pollfd readable{fd_, POLLIN, 0};
            // Interrupted too: a count or a line's tail may be due.
            if (timeout_ms >= 0 && poll(&readable, 1, timeout_ms) <= 0)
                return;
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
        mmsghdr headers[BATCH] = {};
        iovec buffers[BATCH];
        unsigned count = static_cast<unsigned>(std::min(BATCH, capacity_ - tail_));
        for (unsigned i = 0; i < count; ++i) {
            Slot &slot = slots_[tail_ + i];
            buffers[i] = {slot.data, sizeof slot.data};
            headers[i].msg_hdr.msg_iov = &buffers[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_name = &slot.sender;
            headers[i].msg_hdr.msg_namelen = sizeof slot.sender;
        }
        int received = recvmmsg(fd_, headers, count, flags | MSG_WAITFORONE, nullptr);
        for (int i = 0; i < received; ++i)
            slots_[tail_++].length = headers[i].msg_len;
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

void listen_for(ObxDiscovery &self)
{
    prctl(PR_SET_NAME, "Discovery Listener");
    // Without a socket every receive would fail at once: nothing to hear.
    if (self.sockfd < 0)
        return;

    Backlog backlog(self.sockfd);
    while (!self.should_quit) {
        try {
            // The count of suppressed messages is told once datagrams pause,
            // and the tail of a line cut short is tried again.
            backlog.fill(self.verbose, self.errors.milliseconds_to_report());
            self.errors.report_suppressed();
            if (backlog.empty())
                continue; // woken without a datagram: shut down, interrupted or timed out
            backlog.take([&self](const char *data, size_t length, const sockaddr_in &sender) {
                if (handle_datagram(self, data, length, sender.sin_addr) ==
                    DatagramAction::ANSWER_PROBE)
                    note_probe(self);
            });
        } catch (const abi::__forced_unwind &) {
            throw; // the thread is being cancelled or exited: let it end
        } catch (const std::exception &e) {
            self.errors.write("datagram dropped: ", e.what());
        } catch (...) {
            // A callback may throw anything; the listener must outlive it.
            self.errors.write("datagram dropped: unknown exception");
        }
    }
}
