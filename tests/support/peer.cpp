// SPDX-License-Identifier: MIT
#include "peer.h"

#include "testnet.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

using testnet::DISCOVERY_PORT;

int checked(int result, const char *what)
{
    if (result < 0)
        throw std::runtime_error(std::string(what) + ": " + strerror(errno));
    return result;
}

int udp_socket_bound_to(const std::string &address, unsigned short port)
{
    int fd = checked(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), "socket");
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        close(fd);
        checked(-1, ("bind " + address).c_str());
    }
    return fd;
}

} // namespace

Peer::Peer(int fd) : fd_(fd) {}

Peer::Peer(Peer &&other) noexcept : fd_(other.fd_)
{
    other.fd_ = -1;
}

Peer::~Peer()
{
    if (fd_ >= 0)
        close(fd_);
}

Peer Peer::listening_on_host(int host)
{
    int fd = -1;
    testnet::run_on_host(host, [&] { fd = udp_socket_bound_to("0.0.0.0", DISCOVERY_PORT); });
    return Peer(fd);
}

Peer Peer::sending_from(const std::string &address)
{
    int fd = -1;
    testnet::run_on_host(testnet::host_count(), [&] { fd = udp_socket_bound_to(address, 0); });
    // A burst may come from more cameras than the host has addresses, on
    // the link that testnet.sh names obx0 on every host.
    int on = 1;
    if (address == "0.0.0.0") {
        checked(setsockopt(fd, SOL_IP, IP_TRANSPARENT, &on, sizeof on), "IP_TRANSPARENT");
        checked(setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "obx0", 5), "SO_BINDTODEVICE");
    }
    return Peer(fd);
}

void Peer::broadcast(std::string_view payload) const
{
    send_to("255.255.255.255", payload);
}

void Peer::send_to(const std::string &address, std::string_view payload) const
{
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(DISCOVERY_PORT);
    inet_pton(AF_INET, address.c_str(), &destination.sin_addr);
    checked(static_cast<int>(sendto(fd_, payload.data(), payload.size(), 0,
                                    reinterpret_cast<sockaddr *>(&destination),
                                    sizeof destination)),
            "sendto");
}

void Peer::broadcast_all(const std::vector<Announcement> &announcements) const
{
    constexpr size_t BATCH = 1024; // the most one sendmmsg takes
    constexpr size_t CONTROL = CMSG_SPACE(sizeof(in_pktinfo));
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(DISCOVERY_PORT);
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    std::vector<mmsghdr> messages(BATCH);
    std::vector<iovec> texts(BATCH);
    std::vector<char> controls(BATCH * CONTROL);

    for (size_t first = 0; first < announcements.size();) {
        size_t count = std::min(BATCH, announcements.size() - first);
        for (size_t i = 0; i < count; ++i) {
            const Announcement &a = announcements[first + i];
            texts[i] = {const_cast<char *>(a.payload.data()), a.payload.size()};
            msghdr &m = messages[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &destination;
            m.msg_namelen = sizeof destination;
            m.msg_iov = &texts[i];
            m.msg_iovlen = 1;
            m.msg_control = &controls[i * CONTROL];
            m.msg_controllen = CONTROL;
            cmsghdr *header = CMSG_FIRSTHDR(&m);
            header->cmsg_level = IPPROTO_IP;
            header->cmsg_type = IP_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst = a.source;
            memcpy(CMSG_DATA(header), &info, sizeof info);
        }
        int sent = sendmmsg(fd_, messages.data(), static_cast<unsigned>(count), 0);
        if (sent < 0 && errno != ENOBUFS && errno != EAGAIN)
            checked(sent, "sendmmsg");
        first += static_cast<size_t>(std::max(sent, 0)); // a full queue is waited out
    }
}

void Peer::ignore_sources(in_addr first, in_addr last) const
{
    sock_filter program[] = {
        // The IPv4 source address, in host order.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_NET_OFF) + 12),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, ntohl(first.s_addr), 0, 2),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, ntohl(last.s_addr), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),       // in the range: dropped
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff), // kept whole
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    checked(setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter),
            "SO_ATTACH_FILTER");
}

std::optional<Datagram> Peer::receive(std::chrono::milliseconds timeout) const
{
    pollfd wait{fd_, POLLIN, 0};
    if (checked(poll(&wait, 1, static_cast<int>(timeout.count())), "poll") == 0)
        return std::nullopt;
    char buffer[65536];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    ssize_t size = checked(static_cast<int>(recvfrom(fd_, buffer, sizeof buffer, 0,
                                                     reinterpret_cast<sockaddr *>(&sender),
                                                     &length)),
                           "recvfrom");
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
    return Datagram{address, std::string(buffer, static_cast<size_t>(size)),
                    std::chrono::steady_clock::now()};
}

std::string camera_presence(const std::string &name)
{
    return R"({"version": 1, "type": "VideoTransmitter", "name": ")" + name + R"("})";
}

std::string repeated(const std::string &part, size_t times)
{
    std::string text;
    text.reserve(part.size() * times);
    for (size_t i = 0; i < times; ++i)
        text += part;
    return text;
}

bool discovery_port_is_free()
{
    try {
        close(udp_socket_bound_to("0.0.0.0", DISCOVERY_PORT));
        return true;
    } catch (const std::runtime_error &) {
        return false;
    }
}
