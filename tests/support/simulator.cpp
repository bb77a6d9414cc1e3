// SPDX-License-Identifier: MIT
// Simulated cameras for the benchmark, the desktop tests and anyone trying
// the tools: plain sockets on the test network's last host, each peer
// sending from an address of its own, all run by this one process.
//
//   obx-simulator [--pool N] [ADDRESS=JSON...]
//   obx-simulator --check    only checks that it runs on the test network
//
// --pool N adds N cameras on the first N addresses of the host's pool,
// "Camera 0" onwards, with URLs whose host the receiver fills in. Every
// peer answers each probe it hears, 40 ms later, all in one burst. Prints
// "ready" once it listens; then takes commands on standard input, one per
// line, and acknowledges each on standard output once done:
//   answer N          from now on only the first N peers answer: "answering N"
//   remove ADDRESS    that peer stops answering: "removed ADDRESS"
//   presence K        K presences, round robin over the peers, in bursts:
//                     "sent K in MICROSECONDS"
//   probes MS         probes from the first peer for MS milliseconds:
//                     "sent K in MICROSECONDS"
//   storm K           K probes from the first peer, and 100 ms later the last
//                     peer's presence; then counts for 500 ms the presences
//                     it hears (it never hears its own peers): "stormed K announced
//                     MONOTONIC-MICROSECONDS answers A over SPAN-MICROSECONDS"
//   flood FIRST N     presences of N cameras from address FIRST onwards, over
//                     and over until the end: "flooding"
//   paced FIRST N R   presences of N cameras from address FIRST onwards,
//                     once each, R a second in bursts a millisecond apart:
//                     "sent N last MONOTONIC-MICROSECONDS"
// After each burst of answers: "answered N in MICROSECONDS at
// MONOTONIC-MICROSECONDS", when the last left.
#include "support/peer.h"
#include "support/testnet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::string PROBE = R"({"probe": {}, "type": "Probe", "version": 1})";

struct Simulator {
    std::vector<Announcement> peers;
    std::atomic<size_t> answering{0};
    std::mutex mutex; // guards peers against remove, and the storm's record
    std::mutex output;
    Peer sender = Peer::sending_from("0.0.0.0");
    const Peer *listener = nullptr;
    in_addr lowest_own{INADDR_NONE}, highest_own{INADDR_ANY};
    bool storming = false;
    std::vector<Clock::time_point> storm_answers;

    void say(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(output);
        std::cout << line << std::endl;
    }

    void note_storm_answer(const Datagram &datagram)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (storming && !datagram.is_probe())
            storm_answers.push_back(datagram.arrival);
    }

    // Its own bursts would wake it for each datagram, taking a processor
    // from the program under test just when it needs one.
    void ignore_own(const std::vector<Announcement> &sent)
    {
        for (const Announcement &a : sent) {
            if (ntohl(a.source.s_addr) < ntohl(lowest_own.s_addr))
                lowest_own = a.source;
            if (ntohl(a.source.s_addr) > ntohl(highest_own.s_addr))
                highest_own = a.source;
        }
        if (!sent.empty())
            listener->ignore_sources(lowest_own, highest_own);
    }

    void answer_probes()
    {
        for (;;) {
            auto datagram = listener->receive(std::chrono::hours(1));
            if (!datagram)
                continue;
            note_storm_answer(*datagram);
            if (answering == 0 || !datagram->is_probe())
                continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            std::vector<Announcement> answers;
            {
                std::lock_guard<std::mutex> lock(mutex);
                answers.assign(peers.begin(),
                               peers.begin() + std::min<size_t>(answering, peers.size()));
            }
            auto start = Clock::now();
            sender.broadcast_all(answers);
            auto end = Clock::now();
            say("answered " + std::to_string(answers.size()) + " in " + micros(end - start) +
                " at " + micros(end.time_since_epoch()));
        }
    }

    static std::string micros(Clock::duration d)
    {
        return std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(d).count());
    }
    static std::string micros_since(Clock::time_point start) { return micros(Clock::now() - start); }

    void presences(long count)
    {
        auto start = Clock::now();
        for (long sent = 0; sent < count;) {
            size_t burst = std::min<size_t>(peers.size(), static_cast<size_t>(count - sent));
            sender.broadcast_all({peers.begin(), peers.begin() + static_cast<long>(burst)});
            sent += static_cast<long>(burst);
        }
        say("sent " + std::to_string(count) + " in " + micros_since(start));
    }

    void probes(long milliseconds)
    {
        auto start = Clock::now();
        std::vector<Announcement> burst(100, Announcement{peers.front().source, PROBE});
        long sent = 0;
        for (; Clock::now() - start < std::chrono::milliseconds(milliseconds); sent += 100)
            sender.broadcast_all(burst);
        say("sent " + std::to_string(sent) + " in " + micros_since(start));
    }

    void storm(long count)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            storm_answers.clear();
            storming = true;
        }
        sender.broadcast_all(std::vector<Announcement>(static_cast<size_t>(count),
                                                       Announcement{peers.front().source, PROBE}));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto announced = Clock::now();
        sender.broadcast_all({peers.back()});
        std::this_thread::sleep_for(std::chrono::milliseconds(500));

        std::lock_guard<std::mutex> lock(mutex);
        storming = false;
        Clock::duration span = storm_answers.empty() ? Clock::duration{}
                                                     : storm_answers.back() - storm_answers.front();
        say("stormed " + std::to_string(count) + " announced " +
            micros(announced.time_since_epoch()) + " answers " +
            std::to_string(storm_answers.size()) + " over " + micros(span));
    }

    void flood(const std::string &first, long count)
    {
        std::vector<Announcement> cameras = numbered_cameras(first, count);
        ignore_own(cameras);
        std::thread([this, cameras] {
            for (;;) {
                sender.broadcast_all(cameras);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
        say("flooding");
    }

    void paced(const std::string &first, long count, long per_second)
    {
        std::vector<Announcement> cameras = numbered_cameras(first, count);
        ignore_own(cameras);
        size_t burst = static_cast<size_t>(std::max(per_second / 1000, 1L));
        auto next = Clock::now(), last = next;
        for (size_t sent = 0; sent < cameras.size(); sent += burst) {
            std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
            auto begin = cameras.begin() + static_cast<long>(sent);
            sender.broadcast_all({begin, begin + static_cast<long>(std::min(burst, cameras.size() - sent))});
            last = Clock::now();
        }
        say("sent " + std::to_string(count) + " last " + micros(last.time_since_epoch()));
    }

    void remove(const std::string &address)
    {
        std::lock_guard<std::mutex> lock(mutex);
        in_addr a{};
        inet_pton(AF_INET, address.c_str(), &a);
        peers.erase(std::remove_if(peers.begin(), peers.end(),
                                   [&](const Announcement &p) { return p.source.s_addr == a.s_addr; }),
                    peers.end());
        answering = peers.size();
        say("removed " + address);
    }

    // Cameras "Camera 0" onwards from address first, as cameras that leave
    // their URLs' host for the receiver to fill in announce themselves.
    static std::vector<Announcement> numbered_cameras(const std::string &first, long count)
    {
        in_addr start{};
        inet_pton(AF_INET, first.c_str(), &start);
        std::vector<Announcement> cameras;
        for (long i = 0; i < count; ++i) {
            in_addr address{htonl(ntohl(start.s_addr) + static_cast<uint32_t>(i))};
            cameras.push_back({address, R"({"http": "http://:80/", "name": "Camera )" +
                                            std::to_string(i) +
                                            R"(", "rtsp": "rtsp:///live", "type": "VideoTransmitter", "version": 1})"});
        }
        return cameras;
    }

    void run_command(const std::string &line)
    {
        std::istringstream words(line);
        std::string verb, argument;
        words >> verb >> argument;
        long value = std::atol(argument.c_str());
        if (verb == "answer") {
            answering = static_cast<size_t>(value);
            say("answering " + argument);
        } else if (verb == "remove") {
            remove(argument);
        } else if (verb == "presence") {
            presences(value);
        } else if (verb == "probes") {
            probes(value);
        } else if (verb == "storm") {
            storm(value);
        } else if (verb == "flood") {
            long count = 0;
            words >> count;
            flood(argument, count);
        } else if (verb == "paced") {
            long count = 0, per_second = 0;
            words >> count >> per_second;
            paced(argument, count, per_second);
        } else {
            say("unknown command: " + line);
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    testnet::require_isolated_network();
    if (argc == 2 && std::string(argv[1]) == "--check")
        return 0;
    Simulator simulator;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--pool" && i + 1 < argc) {
            auto cameras = Simulator::numbered_cameras(testnet::pool_address(0), std::atol(argv[++i]));
            simulator.peers.insert(simulator.peers.end(), cameras.begin(), cameras.end());
            continue;
        }
        size_t equals = argument.find('=');
        in_addr address{};
        if (equals == std::string::npos ||
            inet_pton(AF_INET, argument.substr(0, equals).c_str(), &address) != 1) {
            fprintf(stderr, "usage: obx-simulator [--pool N] [ADDRESS=JSON...]\n");
            return 2;
        }
        simulator.peers.push_back({address, argument.substr(equals + 1)});
    }
    simulator.answering = simulator.peers.size();
    Peer listener = Peer::listening_on_host(testnet::host_count());
    simulator.listener = &listener;
    simulator.ignore_own(simulator.peers);
    std::thread([&] { simulator.answer_probes(); }).detach();
    simulator.say("ready");

    for (std::string line; std::getline(std::cin, line);)
        simulator.run_command(line);
    return 0;
}
