// SPDX-License-Identifier: MIT
// The instance's lifecycle: socket, threads, and their orderly stop.
#include <obx_discovery/discovery.h>

#include "diagnostics.h"
#include "instance.h"
#include "senders.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <system_error>

namespace {

std::string copy_text(const char *text)
{
    return text ? text : "";
}

// Room for the burst of answers of a site's cameras to one probe (sized in
// docs/performance.md); without CAP_NET_ADMIN it is capped at rmem_max.
void enlarge_receive_buffer(int fd)
{
    int size = 4 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

void open_socket(ObxDiscovery &self)
{
    self.sockfd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (self.sockfd < 0)
        self.errors.write("socket failed");

    int on = 1;
    setsockopt(self.sockfd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    enlarge_receive_buffer(self.sockfd);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(DISCOVERY_PORT);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(self.sockfd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
        self.errors.write("bind failed ", std::to_string(errno));
}

// A thread that cannot be started is reported and left out: the instance
// still does what its other threads can.
template <typename... Args>
void start_thread(ObxDiscovery &self, std::thread &slot, Args &&...args)
{
    try {
        slot = std::thread(std::forward<Args>(args)...);
    } catch (const std::system_error &e) {
        self.errors.write("thread creation failed: ", e.what());
    }
}

void join_if_started(std::thread &thread)
{
    if (thread.joinable())
        thread.join();
}

// Ends whatever of the instance was started, in reverse order of creation.
void stop(ObxDiscovery &self)
{
    self.should_quit = true;
    wake_senders(self);
    // Wakes the listener's blocked receive, even on an unconnected socket.
    shutdown(self.sockfd, SHUT_RDWR);
    join_if_started(self.presence_thread);
    join_if_started(self.discovery_thread);
    join_if_started(self.listen_thread);
    if (self.sockfd >= 0)
        close(self.sockfd);
}

} // namespace

extern "C" ObxDiscovery *obx_discovery_new(ObxPeerDetails details, ObxDiscoveryFunc callback,
                                           void *user_data)
{
    std::unique_ptr<ObxDiscovery> self;
    try {
        self = std::make_unique<ObxDiscovery>();
        self->peer_type = details.type;
        self->device_name = copy_text(details.device_name);
        self->rtsp_url = copy_text(details.rtsp_url);
        self->http_url = copy_text(details.http_url);
        self->callback = callback;
        self->callback_data = user_data;

        open_socket(*self);
        start_thread(*self, self->listen_thread, listen_for, std::ref(*self));
        if (callback)
            start_thread(*self, self->discovery_thread, probe_at_start, std::ref(*self));
        start_thread(*self, self->presence_thread, announce_and_answer, std::ref(*self));
        return self.release();
    } catch (const std::exception &e) {
        // Out of memory: nothing may keep running or hold the port.
        if (self)
            stop(*self);
        report_error("instance not created: ", e.what());
        return nullptr;
    }
}

extern "C" void obx_discovery_set_verbose(ObxDiscovery *obx_discovery, bool verbose)
{
    if (obx_discovery)
        obx_discovery->verbose = verbose;
}

extern "C" void obx_discovery_free(ObxDiscovery *self)
{
    if (!self)
        return;
    if (self->listen_thread.get_id() == std::this_thread::get_id()) {
        // Joining the listener from itself would deadlock: leave it running.
        self->errors.write("obx_discovery_free called from the instance's own callback");
        return;
    }
    stop(*self);
    delete self;
}
