// SPDX-License-Identifier: MIT
#include "hostile.h"

#include "obx_discovery/address_set.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/testnet.h"

#include <obx_discovery/discovery.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int RUNS = 5;

// 1024 bytes that the listener writes about at length: a value nested 506
// deep, once one line per level.
const std::string NESTED = "{\"version\":" + std::string(506, '[') + std::string(506, ']') + "}";
const std::string PROBE = R"({"probe": {}, "type": "Probe", "version": 1})";

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The example camera with its standard error in a pipe that a thread of
// ours reads, at most bytes_per_second (0: as fast as it comes).
class Camera {
public:
    Camera(const std::string &build, long bytes_per_second) : rate_(bytes_per_second)
    {
        int err[2];
        if (pipe2(err, O_CLOEXEC) < 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::string program = build + "/examples/obx-camera";
        char *argv[] = {program.data(), const_cast<char *>("--name"), const_cast<char *>("Camera"),
                        nullptr};
        int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(err[1]);
        if (failed)
            throw std::runtime_error("cannot start " + program);
        reader_ = std::thread([this, fd = err[0]] { drain(fd); });
    }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    ~Camera()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        reader_.join();
    }
    // Lines and bytes written to standard error since the last call.
    std::pair<long, long> written()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto counts = std::make_pair(lines_, bytes_);
        lines_ = bytes_ = 0;
        return counts;
    }

private:
    void drain(int fd)
    {
        // A 115200-baud console takes about 11 KB a second: 1100 bytes each
        // tenth of a second.
        size_t chunk = rate_ > 0 ? static_cast<size_t>(rate_ / 10) : 65536;
        std::vector<char> buffer(chunk);
        auto next = Clock::now();
        ssize_t size;
        while ((size = read(fd, buffer.data(), buffer.size())) > 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bytes_ += size;
                lines_ += std::count(buffer.begin(), buffer.begin() + size, '\n');
            }
            if (rate_ > 0)
                std::this_thread::sleep_until(next += std::chrono::milliseconds(100));
        }
        close(fd);
    }

    long rate_;
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    long lines_ = 0;
    long bytes_ = 0;
};

// Sends the nested datagram to host 1 alone, per_second of them, for the
// duration, in bursts a millisecond apart.
void flood_host1(int per_second, std::chrono::milliseconds duration)
{
    Peer sender = Peer::sending_from(testnet::pool_address(0));
    const std::string target = testnet::host_address(1);
    auto next = Clock::now(), end = next + duration;
    int per_ms = std::max(1, per_second / 1000);
    while (next < end) {
        for (int i = 0; i < per_ms; ++i)
            sender.send_to(target, NESTED);
        std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
    }
}

struct ProbeAnswers {
    int probes = 0;
    int answered = 0; // within a second
    double worst_ms = 0;
};

// Probes host 1 every 100 ms while during() runs, and times its answers,
// heard on host 2.
ProbeAnswers probe_during(const std::function<void()> &during)
{
    Peer listener = Peer::listening_on_host(2);
    Peer prober = Peer::sending_from(testnet::pool_address(1));
    std::atomic<bool> done{false};
    std::vector<Clock::time_point> probed, answers;
    std::thread probing([&] {
        for (auto next = Clock::now(); !done; std::this_thread::sleep_until(next += 100ms)) {
            probed.push_back(Clock::now());
            prober.send_to(testnet::host_address(1), PROBE);
        }
    });
    std::thread hearing([&] {
        while (auto datagram = listener.receive(500ms))
            if (datagram->source == testnet::host_address(1))
                answers.push_back(datagram->arrival);
    });
    during();
    done = true;
    probing.join();
    hearing.join();

    ProbeAnswers result;
    for (Clock::time_point sent : probed) {
        auto answer = std::lower_bound(answers.begin(), answers.end(), sent);
        double ms = answer == answers.end() ? 1e9 : ms_between(sent, *answer);
        ++result.probes;
        result.answered += ms <= 1000;
        result.worst_ms = std::max(result.worst_ms, ms);
    }
    return result;
}

// The camera through 10 s of 10,000 malformed datagrams a second, with its
// standard error read at the given pace.
Json::Value camera_under_flood(const std::string &build, long bytes_per_second)
{
    Camera camera(build, bytes_per_second);
    std::this_thread::sleep_for(500ms); // up, start-up over
    camera.written();
    ProbeAnswers answers = probe_during([] { flood_host1(10000, 10s); });
    std::this_thread::sleep_for(2s); // the count of what was held back
    auto [lines, bytes] = camera.written();
    Json::Value r;
    r["lines"] = static_cast<Json::Int64>(lines);
    r["bytes"] = static_cast<Json::Int64>(bytes);
    r["probes"] = answers.probes;
    r["answered"] = answers.answered;
    r["answer_ms_worst"] = answers.worst_ms;
    return r;
}

// free() of an instance that has messages to write into a standard error
// that nobody reads.
double free_with_stalled_stderr_worst_ms()
{
    double worst = 0;
    for (int run = 0; run < RUNS; ++run) {
        StalledStandardError stalled;
        ObxPeerDetails details{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "Camera", nullptr, nullptr};
        ObxDiscovery *instance = obx_discovery_new(details, nullptr, nullptr);
        flood_host1(10000, 300ms);
        auto start = Clock::now();
        obx_discovery_free(instance);
        worst = std::max(worst, ms_between(start, Clock::now()));
    }
    return worst;
}

size_t heap_in_use()
{
    struct mallinfo2 heap = mallinfo2();
    return heap.uordblks + heap.hblkhd;
}

// The reported-address set filled with 1,000,000 forged senders spread over
// the whole address space: the heap it holds per address.
Json::Value reported_address_memory()
{
    const uint32_t senders = 1000000;
    size_t before = heap_in_use();
    AddressSet set;
    for (uint32_t i = 0; i < senders; ++i)
        set.insert(in_addr{htonl(i * 2654435761u)});
    Json::Value r;
    r["senders"] = senders;
    r["bytes_per_address"] = static_cast<double>(heap_in_use() - before) / senders;
    return r;
}

} // namespace

Json::Value hostile_peers(const std::string &build)
{
    Json::Value r;
    r["flood"] = camera_under_flood(build, 0);
    r["flood_slow_console"] = camera_under_flood(build, 11000);
    r["free_stalled_stderr_ms_worst"] = free_with_stalled_stderr_worst_ms();
    r["reported_addresses"] = reported_address_memory();
    return r;
}
