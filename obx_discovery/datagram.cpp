// Building and broadcasting datagrams.
#include "instance.h"
#include "messages.h"

#include <json/writer.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

constexpr auto SEND_DELAY = std::chrono::milliseconds(40);

const Json::StreamWriterBuilder &writer_builder()
{
    static const Json::StreamWriterBuilder builder = [] {
        Json::StreamWriterBuilder b;
        b["emitUTF8"] = true; // names in any language go out as UTF-8, not \u escapes
        return b;
    }();
    return builder;
}

Json::Value datagram_object(const ObxDiscovery &self, DatagramType type)
{
    Json::Value root(Json::objectValue);
    root["version"] = 1;
    if (type == PROBE)
        root["probe"] = Json::Value(Json::objectValue);
    if (self.peer_type == OBX_PEER_TYPE_PROBE) {
        root["type"] = "Probe";
    } else if (self.peer_type == OBX_PEER_TYPE_VIDEO_TRANSMITTER) {
        root["type"] = "VideoTransmitter";
        if (!self.rtsp_url.empty())
            root["rtsp"] = self.rtsp_url;
        if (!self.http_url.empty())
            root["http"] = self.http_url;
    }
    if (!self.device_name.empty())
        root["name"] = self.device_name;
    return root;
}

void send_broadcast(int fd, const std::string &text)
{
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(DISCOVERY_PORT);
    destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&destination),
           sizeof destination);
}

} // namespace

std::string datagram_text(const ObxDiscovery &self, DatagramType type)
{
    return Json::writeString(writer_builder(), datagram_object(self, type));
}

void broadcast_datagram(ObxDiscovery *self, DatagramType type)
{
    try {
        std::this_thread::sleep_for(SEND_DELAY);
        std::string text = datagram_text(*self, type);
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (fd < 0) {
            report_error("socket creation failed");
            return;
        }
        send_broadcast(fd, text);
        close(fd);
        trace(*self, "sent: " + text);
    } catch (const std::exception &e) {
        report_error(std::string("datagram not sent: ") + e.what());
    }
}
