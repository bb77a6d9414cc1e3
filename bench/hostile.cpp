// SPDX-License-Identifier: MIT
#include "hostile.h"

#include "obx_discovery/address_set.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/testnet.h"

#include <obx_discovery/discovery.h>

#include <arpa/inet.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// 1024 bytes that the listener writes about at length: a value nested 506
// deep, once one line per level.
const std::string NESTED = "{\"version\":" + std::string(506, '[') + std::string(506, ']') + "}";
const std::string PROBE = R"({"probe": {}, "type": "Probe", "version": 1})";

// How the camera's standard error is read.
enum class Reader {
    AS_FAST_AS_IT_COMES,
    AT_A_CONSOLES_PACE,  // 115200 baud: about 11 KB a second
    NEVER_ON_A_TERMINAL, // a terminal whose reader stopped
};

// The example camera with its standard error read by a thread of ours.
class Camera {
public:
    // With one_cpu, the camera runs on a single CPU, as on a small board.
    Camera(const std::string &build, Reader reader, bool one_cpu = false)
        : process_(camera_command(build, one_cpu), {},
                   reader == Reader::NEVER_ON_A_TERMINAL ? Streams::TERMINAL : Streams::PIPES),
          rate_(reader == Reader::AT_A_CONSOLES_PACE ? 11000 : 0)
    {
        if (reader == Reader::NEVER_ON_A_TERMINAL)
            stalled_ = process_.take_output();
        else
            reader_ = std::thread([this, fd = process_.take_error_pipe()] { drain(fd); });
    }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    ~Camera() { stop(); }
    // Lines and bytes written to standard error since the last call.
    std::pair<long, long> written()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto counts = std::make_pair(lines_, bytes_);
        lines_ = bytes_ = 0;
        return counts;
    }
    double cpu_seconds() const { return process_.cpu_seconds(); }
    // Interrupts it, as its user would: the milliseconds until it ended,
    // obx_discovery_free() among them.
    double stop()
    {
        if (stopped_)
            return 0;
        stopped_ = true;
        auto start = Clock::now();
        process_.interrupt();
        double ms = ms_between(start, Clock::now());
        if (reader_.joinable())
            reader_.join();
        if (stalled_ >= 0)
            close(stalled_);
        return ms;
    }

private:
    static std::vector<std::string> camera_command(const std::string &build, bool one_cpu)
    {
        std::vector<std::string> command = {build + "/examples/obx-camera", "--name", "Camera"};
        if (one_cpu)
            command.insert(command.begin(), {"/usr/bin/taskset", "-c", "0"});
        return command;
    }

    void drain(int fd)
    {
        // 1100 bytes each tenth of a second at a console's pace.
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

    Process process_;
    long rate_;
    std::thread reader_;
    int stalled_ = -1;
    bool stopped_ = false;
    std::mutex mutex_;
    long lines_ = 0;
    long bytes_ = 0;
};

// Sends payload (the nested datagram unless said) to host 1 alone,
// per_second of them, for the duration, in bursts a millisecond apart.
void flood_host1(int per_second, std::chrono::milliseconds duration,
                 const std::string &payload = NESTED)
{
    Peer sender = Peer::sending_from(testnet::pool_address(0));
    const std::string target = testnet::host_address(1);
    auto next = Clock::now(), end = next + duration;
    int per_ms = std::max(1, per_second / 1000);
    while (next < end) {
        for (int i = 0; i < per_ms; ++i)
            sender.send_to(target, payload);
        std::this_thread::sleep_until(next += std::chrono::milliseconds(1));
    }
}

// A presence as a camera sends it, and the costliest shapes of at most 1024
// bytes found for the reader.
const std::string PRESENCE =
    R"({"http": "http://:80/", "name": "Camera", "rtsp": "rtsp:///live", "type": "VideoTransmitter", "version": 1})";
const struct Shape {
    const char *name;
    std::string payload;
} SHAPES[] = {
    {"1023 open brackets", std::string(1023, '[')},
    {"a value nested 506 deep", NESTED},
    {"an array of 500 numbers", "[" + repeated("0,", 499) + "0]"},
    {"... inside a presence", R"({"version":1,"type":"Probe","a":[)" + repeated("0,", 480) + "0]}"},
    {"200 members", "{" + repeated(R"("":0,)", 199) + R"("":0})"},
    {"165 escapes in a name", R"({"version":1,"name":")" + repeated("\\u00e9", 165) + R"("})"},
    {"204 open objects", repeated(R"({"a":)", 204)},
    {"248 comments", R"({"version":1,"type":"Probe")" + repeated("/**/", 248) + "}"},
};

// The camera's CPU time per datagram of payload, in a steady stream of
// 10,000 a second for two seconds, its messages included.
double camera_cpu_us_per_datagram(Camera &camera, const std::string &payload)
{
    double before = camera.cpu_seconds();
    flood_host1(10000, 2s, payload);
    std::this_thread::sleep_for(200ms); // the last handled
    return (camera.cpu_seconds() - before) / 20000 * 1e6;
}

// Each shape's cost to the camera against a presence's; returns the
// costliest shape.
const Shape &shape_rows(const std::string &build, Figures &figures)
{
    Camera camera(build, Reader::AS_FAST_AS_IT_COMES);
    std::this_thread::sleep_for(500ms);
    double presence_us = camera_cpu_us_per_datagram(camera, PRESENCE);
    figures.reported("camera's CPU time per presence, 10,000 a second", format("%.1f us", presence_us));
    const Shape *costliest = &SHAPES[0];
    double highest = 0;
    for (const Shape &shape : SHAPES) {
        double ratio = camera_cpu_us_per_datagram(camera, shape.payload) / presence_us;
        figures.judged(format("... per datagram of %s (%zu bytes)", shape.name, shape.payload.size()),
                       format("%.1f x a presence", ratio), "<= 10 x", ratio <= 10);
        if (ratio > highest) {
            highest = ratio;
            costliest = &shape;
        }
    }
    return *costliest;
}

struct ProbeAnswers {
    int probes = 0;
    int answered = 0; // within a second
    int prompt = 0;   // within 250 ms
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
        result.prompt += ms <= 250;
        result.worst_ms = std::max(result.worst_ms, ms);
    }
    return result;
}

// The camera through 10 s of 10,000 malformed datagrams a second, with its
// standard error read by reader: what it writes, how it answers, and how
// long its end on SIGINT takes then.
struct UnderFlood {
    long lines, bytes;
    ProbeAnswers answers;
    double stop_ms;
};

UnderFlood camera_under_flood(const std::string &build, Reader reader)
{
    Camera camera(build, reader);
    std::this_thread::sleep_for(500ms); // up, start-up over
    camera.written();
    ProbeAnswers answers = probe_during([] { flood_host1(10000, 10s); });
    std::this_thread::sleep_for(2s); // the count of what was held back
    auto [lines, bytes] = camera.written();
    return {lines, bytes, answers, camera.stop()};
}

// The camera pinned to one CPU under per_second datagrams of shape: its
// answers to a probe each 100 ms.
void one_cpu_rows(const std::string &build, const Shape &shape, Figures &figures)
{
    for (int per_second : {5000, 20000}) {
        Camera camera(build, Reader::AS_FAST_AS_IT_COMES, true);
        std::this_thread::sleep_for(500ms);
        ProbeAnswers answers =
            probe_during([&, per_second] { flood_host1(per_second, 10s, shape.payload); });
        figures.judged(format("camera on one CPU, %d datagrams a second of %s: answers to a "
                              "probe each 100 ms within 250 ms",
                              per_second, shape.name),
                       format("%d of %d (worst %.0f ms)", answers.prompt, answers.probes,
                              answers.worst_ms),
                       ">= 99 %", answers.prompt * 100 >= answers.probes * 99);
    }
}

void answers_row(Figures &figures, const char *condition, const ProbeAnswers &answers)
{
    figures.judged(format("... camera's answers to a probe each 100 ms%s (worst)", condition),
                   format("%d of %d, %.0f ms", answers.answered, answers.probes, answers.worst_ms),
                   "all, <= 250 ms", answers.answered == answers.probes && answers.worst_ms <= 250);
}

// free() of an instance that has messages to write into a standard error
// that nobody reads: a terminal, whose room a long line may not fit.
double free_with_stalled_stderr_worst_ms()
{
    double worst = 0;
    for (int run = 0; run < RUNS; ++run) {
        StalledStandardError stalled(StalledStandardError::Kind::TERMINAL);
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
double reported_address_bytes_each()
{
    const uint32_t senders = 1000000;
    size_t before = heap_in_use();
    AddressSet set;
    for (uint32_t i = 0; i < senders; ++i)
        set.insert(in_addr{htonl(i * 2654435761u)});
    return static_cast<double>(heap_in_use() - before) / senders;
}

} // namespace

void hostile_peers(const std::string &build, Figures &figures)
{
    UnderFlood flood = camera_under_flood(build, Reader::AS_FAST_AS_IT_COMES);
    figures.judged("10 s of 10,000 malformed datagrams a second: lines / bytes on standard error",
                   format("%ld / %ld", flood.lines, flood.bytes),
                   "<= 50 + 20 a second, and the count", flood.lines <= 50 + 20 * 12 + 2);
    answers_row(figures, "", flood.answers);
    answers_row(figures, ", standard error at 11 KB/s",
                camera_under_flood(build, Reader::AT_A_CONSOLES_PACE).answers);
    UnderFlood stalled = camera_under_flood(build, Reader::NEVER_ON_A_TERMINAL);
    answers_row(figures, ", standard error a stalled terminal", stalled.answers);
    figures.within("... camera's end on SIGINT there, obx_discovery_free among it", stalled.stop_ms,
                   100);
    figures.within("obx_discovery_free with standard error a stalled terminal (worst)",
                   free_with_stalled_stderr_worst_ms(), 100);
    one_cpu_rows(build, shape_rows(build, figures), figures);
    double bytes_each = reported_address_bytes_each();
    figures.judged("reported-address set at 1,000,000 forged senders",
                   format("%.1f B each", bytes_each), "<= 24 B", bytes_each <= 24);
}
