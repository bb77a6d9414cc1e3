// Simulated cameras for the benchmark, with plain sockets: N cameras, each
// sending from an address of its own, run by one process.
//
//   obx-bench-simulator FIRST-ADDRESS COUNT
//
// Commands on standard input, one per line; each is acknowledged on
// standard output once done:
//   answer N          from now on, N cameras answer every probe, each 40 ms
//                     after hearing it, with a camera's presence datagram;
//                     after each burst: "answered N in MICROSECONDS"
//   presence K        send K presence datagrams, round robin over the
//                     cameras, as fast as possible: "sent K in MICROSECONDS"
//   probes MS         send probes as fast as possible for MS milliseconds:
//                     "sent K in MICROSECONDS"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned short PORT = 13702;

std::vector<int> cameras;
std::vector<std::string> presences;
std::atomic<size_t> answering{0};
std::mutex output;

int bound_socket(in_addr address, unsigned short port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr = address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        perror("simulator: socket");
        exit(1);
    }
    return fd;
}

void broadcast(int fd, const std::string &payload)
{
    static const sockaddr_in destination = [] {
        sockaddr_in d{};
        d.sin_family = AF_INET;
        d.sin_port = htons(PORT);
        d.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        return d;
    }();
    // A full send queue is waited out rather than dropped.
    while (sendto(fd, payload.data(), payload.size(), 0,
                  reinterpret_cast<const sockaddr *>(&destination), sizeof destination) < 0 &&
           (errno == ENOBUFS || errno == EAGAIN))
        std::this_thread::yield();
}

long micros_since(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
}

void say(const std::string &line)
{
    std::lock_guard<std::mutex> lock(output);
    std::cout << line << std::endl;
}

void answer_probes()
{
    int listener = bound_socket(in_addr{htonl(INADDR_ANY)}, PORT);
    char buffer[2048];
    for (;;) {
        ssize_t size = recv(listener, buffer, sizeof buffer, 0);
        size_t count = answering;
        if (size <= 0 || count == 0 || !memmem(buffer, size, "\"probe\"", 7))
            continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        auto start = Clock::now();
        for (size_t i = 0; i < count; ++i)
            broadcast(cameras[i], presences[i]);
        say("answered " + std::to_string(count) + " in " + std::to_string(micros_since(start)));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: obx-bench-simulator FIRST-ADDRESS COUNT\n");
        return 2;
    }
    in_addr first{};
    inet_pton(AF_INET, argv[1], &first);
    for (int i = 0; i < atoi(argv[2]); ++i) {
        in_addr address{htonl(ntohl(first.s_addr) + static_cast<uint32_t>(i))};
        cameras.push_back(bound_socket(address, 0));
        presences.push_back(R"({"http": "http://:80/", "name": "Camera )" + std::to_string(i) +
                            R"(", "rtsp": "rtsp:///live", "type": "VideoTransmitter", "version": 1})");
    }
    std::thread(answer_probes).detach();
    say("ready");

    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream command(line);
        std::string verb;
        long value = 0;
        command >> verb >> value;
        auto start = Clock::now();
        long sent = 0;
        if (verb == "answer") {
            answering = static_cast<size_t>(value);
            say("answering " + std::to_string(value));
            continue;
        } else if (verb == "presence") {
            for (; sent < value; ++sent)
                broadcast(cameras[static_cast<size_t>(sent) % cameras.size()],
                          presences[static_cast<size_t>(sent) % cameras.size()]);
        } else if (verb == "probes") {
            const std::string probe = R"({"probe": {}, "type": "Probe", "version": 1})";
            for (; micros_since(start) < value * 1000; ++sent)
                broadcast(cameras[static_cast<size_t>(sent) % cameras.size()], probe);
        }
        say("sent " + std::to_string(sent) + " in " + std::to_string(micros_since(start)));
    }
    return 0;
}
