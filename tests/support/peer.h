// SPDX-License-Identifier: MIT
// A discovery peer written with plain sockets, independent of the library,
// so that a fault shared by its sender and its receiver cannot hide.
#ifndef TESTS_SUPPORT_PEER_H
#define TESTS_SUPPORT_PEER_H

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;

// A datagram to broadcast from one of the host's addresses.
struct Announcement {
    in_addr source;
    std::string payload;
};

struct Datagram {
    std::string source;
    std::string payload;
    std::chrono::steady_clock::time_point arrival;

    // Whether it asks for answers: a probe, not a presence.
    bool is_probe() const { return payload.find("\"probe\"") != std::string::npos; }
};

class Peer {
public:
    // Hears every broadcast to the discovery port on the given host.
    static Peer listening_on_host(int host);
    // Broadcasts from one address of the test network's last host.
    static Peer sending_from(const std::string &address);

    Peer(Peer &&other) noexcept;
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;
    ~Peer();

    void broadcast(std::string_view payload) const;
    // Broadcasts each announcement from its own source address, in as few
    // system calls as the kernel takes (sendmmsg): many cameras answering in
    // one burst, as fast as a real segment delivers them. Needs a peer
    // sending from 0.0.0.0, which may send from any address.
    void broadcast_all(const std::vector<Announcement> &announcements) const;
    // Sends to one address only, so that no other host hears it.
    void send_to(const std::string &address, std::string_view payload) const;
    std::optional<Datagram> receive(std::chrono::milliseconds timeout) const;
    // From now on the kernel drops datagrams from first to last (inclusive)
    // before they reach this peer, so that they never wake it.
    void ignore_sources(in_addr first, in_addr last) const;

private:
    explicit Peer(int fd);
    int fd_;
};

// Whether the discovery port of the calling thread's host is free: no
// instance there holds it.
bool discovery_port_is_free();

// Presence texts as a camera or an unnamed peer would send them.
std::string camera_presence(const std::string &name);

// part, times over: datagrams of hostile shapes.
std::string repeated(const std::string &part, size_t times);

#endif
