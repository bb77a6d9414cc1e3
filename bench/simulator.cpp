// SPDX-License-Identifier: MIT
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
//   storm K           send K probes from the first camera as fast as possible,
//                     and 100 ms later a presence from the last one; then
//                     count for 500 ms the answers from outside the pool:
//                     "stormed K announced MONOTONIC-MICROSECONDS answers A
//                     over SPAN-MICROSECONDS"
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
in_addr_t pool_first = 0;

// Arrival times of presences from outside the pool while a storm is on.
std::mutex storm_mutex;
bool storming = false;
std::vector<Clock::time_point> storm_answers;

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

bool from_pool(const sockaddr_in &sender)
{
    return ntohl(sender.sin_addr.s_addr) - pool_first < cameras.size();
}

void note_storm_answer(const sockaddr_in &sender, const char *payload, ssize_t size)
{
    std::lock_guard<std::mutex> lock(storm_mutex);
    if (storming && !from_pool(sender) && !memmem(payload, size, "\"probe\"", 7))
        storm_answers.push_back(Clock::now());
}

void answer_probes()
{
    int listener = bound_socket(in_addr{htonl(INADDR_ANY)}, PORT);
    char buffer[2048];
    for (;;) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t size = recvfrom(listener, buffer, sizeof buffer, 0,
                                reinterpret_cast<sockaddr *>(&sender), &length);
        note_storm_answer(sender, buffer, size);
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

void storm(long probes)
{
    {
        std::lock_guard<std::mutex> lock(storm_mutex);
        storm_answers.clear();
        storming = true;
    }
    const std::string probe = R"({"probe": {}, "type": "Probe", "version": 1})";
    for (long i = 0; i < probes; ++i)
        broadcast(cameras.front(), probe);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto announced = Clock::now();
    broadcast(cameras.back(), presences.back());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::lock_guard<std::mutex> lock(storm_mutex);
    storming = false;
    auto micros = [](Clock::duration d) {
        return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    };
    Clock::duration span = storm_answers.empty() ? Clock::duration{}
                                                 : storm_answers.back() - storm_answers.front();
    say("stormed " + std::to_string(probes) + " announced " + micros(announced.time_since_epoch()) +
        " answers " + std::to_string(storm_answers.size()) + " over " + micros(span));
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
    pool_first = ntohl(first.s_addr);
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
        } else if (verb == "storm") {
            storm(value);
            continue;
        } else if (verb == "probes") {
            const std::string probe = R"({"probe": {}, "type": "Probe", "version": 1})";
            for (; micros_since(start) < value * 1000; ++sent)
                broadcast(cameras[static_cast<size_t>(sent) % cameras.size()], probe);
        }
        say("sent " + std::to_string(sent) + " in " + std::to_string(micros_since(start)));
    }
    return 0;
}
