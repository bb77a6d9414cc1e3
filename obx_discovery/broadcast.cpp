// SPDX-License-Identifier: MIT
// Broadcasting datagrams, built by the protocol, out of each interface.
#include "broadcast.h"
#include "diagnostics.h"
#include "instance.h"

#include <obx_internal/broadcast_interface.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>

namespace {

// The index of an interface, also when the name is an address label such as
// "eth0:1".
unsigned interface_index(const char *name)
{
    std::string device = name;
    return if_nametoindex(device.substr(0, device.find(':')).c_str());
}

// Each IPv4 interface that can broadcast, with its primary address: the
// first one listed, since the system lists primary addresses before
// secondary ones.
std::map<unsigned, in_addr> broadcast_interfaces()
{
    std::map<unsigned, in_addr> interfaces;
    ifaddrs *listed = nullptr;
    if (getifaddrs(&listed) < 0)
        return interfaces;
    // Released however this ends: adding to the map may throw.
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(listed, freeifaddrs);
    for (const ifaddrs *entry = listed; entry; entry = entry->ifa_next) {
        if (!can_broadcast(*entry))
            continue;
        unsigned index = interface_index(entry->ifa_name);
        if (index != 0)
            interfaces.emplace(index, reinterpret_cast<sockaddr_in *>(entry->ifa_addr)->sin_addr);
    }
    return interfaces;
}

// Sends text to the limited broadcast address; out of the given interface
// and from the given address when index is not 0, otherwise wherever the
// system routes it. The result is not examined: a datagram may be lost.
void broadcast_out_of(int fd, const std::string &text, unsigned index, in_addr source)
{
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(DISCOVERY_PORT);
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    iovec payload{const_cast<char *>(text.data()), text.size()};
    msghdr message{};
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_iov = &payload;
    message.msg_iovlen = 1;

    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (index != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(index);
        info.ipi_spec_dst = source;
        memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    sendmsg(fd, &message, 0);
}

// A socket that is closed however the sending ends.
class UdpSocket {
public:
    UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {}
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;
    ~UdpSocket()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

} // namespace

// A host on several segments must be heard on each of them, and the limited
// broadcast address would only leave through the default route's interface.
void broadcast_now(ObxDiscovery &self, DatagramType type)
{
    try {
        std::string text = encode_datagram(type, self.peer_type, self.device_name,
                                           self.rtsp_url, self.http_url);
        UdpSocket sender;
        if (sender.fd() < 0) {
            self.errors.write("socket creation failed");
            return;
        }
        int on = 1;
        setsockopt(sender.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        std::map<unsigned, in_addr> interfaces = broadcast_interfaces();
        if (interfaces.empty())
            broadcast_out_of(sender.fd(), text, 0, in_addr{});
        for (const auto &[index, address] : interfaces)
            broadcast_out_of(sender.fd(), text, index, address);
        trace(self.verbose, "sent: ", text);
    } catch (const std::exception &e) {
        self.errors.write("datagram not sent: ", e.what()); // allocates nothing: may be out of memory
    }
}

void broadcast_datagram(ObxDiscovery &self, DatagramType type)
{
    std::this_thread::sleep_for(SEND_DELAY);
    broadcast_now(self, type);
}
