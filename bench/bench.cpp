// SPDX-License-Identifier: MIT
// The benchmark. Each measuring pass runs on host 1 of an isolated test
// network that bench/run builds for it, and writes its figures as JSON:
//
//   obx-bench main BUILD-DIR JSON      1000 simulated cameras on host 2
//   obx-bench bursts BUILD-DIR JSON    the same, burst figures only, for a
//                                      run as an unprivileged user
//   obx-bench segments BUILD-DIR JSON  a camera on each of two segments
//   obx-bench routed BUILD-DIR JSON    a camera on the tool's subnet, and one
//                                      beyond a router that relays
//   obx-bench footprint BUILD-DIR JSON the example camera's threads, memory,
//                                      CPU time and wake-ups, idle and probed
//   obx-bench window BUILD-DIR JSON    the desktop tool's list, with 1000 and
//                                      100,000 cameras, on the X display of
//                                      the environment
//   obx-bench lossy BUILD-DIR JSON     50 cameras over a link that loses 10 %
//                                      and 20 % each way; a start's traffic
//                                      at 1000 cameras
//   obx-bench hostile BUILD-DIR JSON   a camera flooded with malformed
//                                      datagrams; free() with standard error
//                                      stalled; memory per forged sender
//   obx-bench table JSON... OUTPUT     the passes' figures (each named by its
//                                      file) beside their targets: printed,
//                                      and written to OUTPUT.json and as
//                                      Markdown to OUTPUT.md and
//                                      OUTPUT-footprint.md
#include "hostile.h"
#include "table.h"

#include "support/peer.h"
#include "support/process.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <obx_discovery/discovery.h>

#include <json/json.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int RUNS = 5;

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double worst(const std::vector<double> &values)
{
    return *std::max_element(values.begin(), values.end());
}

long micros_of(const std::string &line)
{
    size_t in = line.rfind(" in ");
    return in == std::string::npos ? 0 : std::stol(line.substr(in + 4));
}

std::string first_line_of(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

class Simulator {
public:
    Simulator(const std::string &program, int cameras)
        : process_({program, "--pool", std::to_string(cameras)}, {}, true)
    {
        if (next_line() != "ready")
            throw std::runtime_error("the simulator did not start");
    }
    std::string command(const std::string &line)
    {
        process_.send_line(line);
        for (;;) {
            std::string reply = next_line();
            if (reply.rfind("answered ", 0) != 0)
                return reply;
            answered_.push_back(reply); // a probe's, which a tool may repeat at any time
        }
    }
    // The report of the answers to the first probe heard after start: those
    // to the probes of tools started earlier are skipped.
    std::string answered_after(Clock::time_point start)
    {
        long start_us =
            std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch()).count();
        for (;;) {
            std::string line = answered_.empty() ? next_line() : answered_.front();
            if (!answered_.empty())
                answered_.pop_front();
            if (line.rfind("answered ", 0) == 0 && std::stol(line.substr(line.rfind(' ') + 1)) >= start_us)
                return line;
        }
    }

private:
    std::string next_line()
    {
        auto line = process_.next_line(60s);
        if (!line)
            throw std::runtime_error("the simulator stopped answering: " + process_.err());
        return *line;
    }

    Process process_;
    std::deque<std::string> answered_;
};

// Counts lines of the tool that name one of the pool's cameras, until count
// of them or the deadline; last is when the last one came.
int read_camera_lines(Process &tool, int count, Clock::time_point deadline, Clock::time_point &last)
{
    const std::string pool = testnet::pool_address(0).substr(0, 7);
    int seen = 0;
    while (seen < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto line = tool.next_line(std::max(left, 0ms));
        if (!line)
            break;
        if (line->rfind(pool, 0) == 0) {
            ++seen;
            last = Clock::now();
        }
    }
    return seen;
}

// The kernel's UDP counters of this network namespace.
struct UdpCounters {
    long delivered = 0;
    long dropped = 0;
    long sent = 0;
};

UdpCounters read_udp_counters()
{
    std::ifstream snmp("/proc/net/snmp");
    std::string header, values;
    while (std::getline(snmp, header) && header.rfind("Udp:", 0) != 0) {
    }
    std::getline(snmp, values);
    std::istringstream names(header), numbers(values);
    UdpCounters counters;
    for (std::string name, number; names >> name && numbers >> number;) {
        if (name == "InDatagrams")
            counters.delivered = std::stol(number);
        if (name == "RcvbufErrors")
            counters.dropped = std::stol(number);
        if (name == "OutDatagrams")
            counters.sent = std::stol(number);
    }
    return counters;
}

// Bytes waiting in the receive queue of the socket on the discovery port.
long discovery_queue_bytes()
{
    char port[8];
    snprintf(port, sizeof port, ":%04X", testnet::DISCOVERY_PORT);
    std::ifstream udp("/proc/net/udp");
    std::string line;
    std::getline(udp, line);
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (local.size() > 5 && local.compare(local.size() - 5, 5, port) == 0)
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    throw std::runtime_error("no socket on the discovery port");
}

void wait_until_drained()
{
    auto deadline = Clock::now() + 60s;
    while (discovery_queue_bytes() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
}

// Presences that reach the discovery port's socket per second, from the
// start of a flood until its queue is empty again, and those it dropped.
Json::Value intake(Simulator &simulator, long datagrams)
{
    UdpCounters before = read_udp_counters();
    auto start = Clock::now();
    simulator.command("presence " + std::to_string(datagrams));
    wait_until_drained();
    double seconds = ms_between(start, Clock::now()) / 1000.0;
    UdpCounters after = read_udp_counters();
    Json::Value r;
    r["per_second"] = static_cast<double>(after.delivered - before.delivered) / seconds;
    r["dropped"] = static_cast<Json::Int64>(after.dropped - before.dropped);
    return r;
}

// The same flood read by a plain recvfrom loop with the library's room.
Json::Value plain_loop_intake(Simulator &simulator, long datagrams)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 * 1024 * 1024;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in port{};
    port.sin_family = AF_INET;
    port.sin_port = htons(testnet::DISCOVERY_PORT);
    if (bind(fd, reinterpret_cast<sockaddr *>(&port), sizeof port) < 0)
        throw std::runtime_error("cannot bind the plain loop's socket");
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char buffer[1024];
        while (!stop)
            recv(fd, buffer, sizeof buffer, 0);
    });
    Json::Value r = intake(simulator, datagrams);
    stop = true;
    shutdown(fd, SHUT_RDWR);
    reader.join();
    close(fd);
    return r;
}

struct Bench {
    std::string cli;
    Simulator simulator;
    Json::Value results{Json::objectValue};

    Bench(const std::string &build, int cameras)
        : cli(build + "/tools/cli/ombrix-discovery-cli"),
          simulator(build + "/tests/support/obx-simulator", cameras)
    {
    }

    // The tool from its start until it has printed every camera of one burst
    // of answers, against a floor: starting a trivial program, the 40 ms
    // before the probe and the 40 ms before the answers, and sending them.
    void discovery(int cameras)
    {
        simulator.command("answer " + std::to_string(cameras));
        std::vector<double> elapsed, floor, resident, cpu;
        Json::Value &r = results["discovery"][std::to_string(cameras)];
        int fewest = cameras;
        for (int run = 0; run < RUNS; ++run) {
            auto trivial_start = Clock::now();
            Process({"/bin/true"}).wait_for_exit(5s);
            double trivial = ms_between(trivial_start, Clock::now());
            auto start = Clock::now();
            Process tool({cli});
            Clock::time_point last = start;
            int reported = read_camera_lines(tool, cameras, start + 3s, last);
            double sending = static_cast<double>(micros_of(simulator.answered_after(start))) / 1000.0;
            rusage usage = tool.interrupt();
            fewest = std::min(fewest, reported);
            r["reported"].append(reported);
            elapsed.push_back(ms_between(start, last));
            floor.push_back(trivial + 80.0 + sending);
            resident.push_back(static_cast<double>(usage.ru_maxrss) / 1024.0);
            cpu.push_back(cpu_seconds(usage) * 1000.0);
        }
        r["fewest_reported"] = fewest;
        r["time_to_last_line_ms"] = median(elapsed);
        r["floor_ms"] = median(floor);
        r["peak_resident_mib"] = median(resident);
        r["cpu_ms"] = median(cpu);
    }

    void flood()
    {
        simulator.command("answer 0");
        const long datagrams = 200000;
        std::vector<double> library, plain, library_dropped, plain_dropped;
        for (int run = 0; run < RUNS; ++run) {
            Json::Value p = plain_loop_intake(simulator, datagrams);
            // A callback, so that presences take the reporting path.
            ObxDiscovery *instance =
                obx_discovery_new(probe_details(), [](const char *, ObxPeerDetails, void *) {}, nullptr);
            std::this_thread::sleep_for(200ms); // its own probe and answer pass
            Json::Value l = intake(simulator, datagrams);
            obx_discovery_free(instance);
            plain.push_back(p["per_second"].asDouble());
            plain_dropped.push_back(p["dropped"].asDouble());
            library.push_back(l["per_second"].asDouble());
            library_dropped.push_back(l["dropped"].asDouble());
        }
        Json::Value &r = results["flood"];
        r["datagrams"] = static_cast<Json::Int64>(datagrams);
        r["library_per_second"] = median(library);
        r["plain_per_second"] = median(plain);
        r["library_dropped"] = median(library_dropped);
        r["plain_dropped"] = median(plain_dropped);
    }

    void free_under_probe_flood()
    {
        simulator.command("answer 0");
        std::vector<double> durations;
        for (int run = 0; run < RUNS; ++run) {
            ObxPeerDetails details{};
            details.type = OBX_PEER_TYPE_VIDEO_TRANSMITTER;
            ObxDiscovery *instance = obx_discovery_new(details, nullptr, nullptr);
            std::thread flood([&] { simulator.command("probes 600"); });
            std::this_thread::sleep_for(300ms);
            auto start = Clock::now();
            obx_discovery_free(instance);
            durations.push_back(ms_between(start, Clock::now()));
            flood.join();
        }
        results["free_under_probe_flood"]["worst_ms"] = worst(durations);
    }

    // A camera that announces itself 100 ms after a burst of 3000 probes.
    void probe_storm()
    {
        simulator.command("answer 0");
        struct Watch {
            std::string address = testnet::pool_address(999);
            std::atomic<long> reported_us{0};
        };
        std::vector<double> latency, answers, span;
        for (int run = 0; run < RUNS; ++run) {
            Watch watch;
            ObxDiscovery *instance = obx_discovery_new(
                probe_details(),
                [](const char *address, ObxPeerDetails, void *data) {
                    auto *w = static_cast<Watch *>(data);
                    if (w->address == address)
                        w->reported_us = std::chrono::duration_cast<std::chrono::microseconds>(
                                             Clock::now().time_since_epoch())
                                             .count();
                },
                &watch);
            std::this_thread::sleep_for(200ms); // its own probe and answer pass
            std::istringstream ack(simulator.command("storm 3000"));
            std::string word;
            long probes, announced_us, count, span_us;
            ack >> word >> probes >> word >> announced_us >> word >> count >> word >> span_us;
            obx_discovery_free(instance);
            latency.push_back(watch.reported_us ? (watch.reported_us - announced_us) / 1000.0 : 1e9);
            answers.push_back(static_cast<double>(count));
            span.push_back(static_cast<double>(span_us) / 1000.0);
        }
        Json::Value &r = results["probe_storm"];
        r["report_latency_ms_worst"] = worst(latency);
        r["answers"] = median(answers);
        r["answers_span_ms"] = median(span);
        bool paced = true;
        for (int run = 0; run < RUNS; ++run)
            paced &= (answers[run] - 1) * 40.0 <= span[run] + 1.0;
        r["answers_paced"] = paced;
    }

    void memory_under_duplicates()
    {
        std::vector<double> first, flooded;
        for (int run = 0; run < RUNS; ++run) {
            simulator.command("answer 1000");
            Process tool({cli});
            Clock::time_point last;
            read_camera_lines(tool, 1000, Clock::now() + 3s, last);
            simulator.command("answer 0");
            std::this_thread::sleep_for(100ms);
            first.push_back(static_cast<double>(tool.resident_kib()));
            simulator.command("presence 1000000");
            wait_until_drained();
            std::this_thread::sleep_for(100ms); // and the listener's own backlog handled
            flooded.push_back(static_cast<double>(tool.resident_kib()));
        }
        results["duplicates"]["resident_kib_after_first_1000"] = median(first);
        results["duplicates"]["resident_kib_after_1000000"] = median(flooded);
    }

    void idle_cpu()
    {
        std::vector<double> cpu;
        for (int run = 0; run < RUNS; ++run) {
            Process tool({cli});
            tool.next_line(2s);               // its own announcement: it is up
            std::this_thread::sleep_for(4s); // and its start-up traffic, repeats included, is over
            double before = tool.cpu_seconds();
            std::this_thread::sleep_for(10s);
            cpu.push_back((tool.cpu_seconds() - before) * 1000.0);
        }
        results["idle_cpu_ms_worst"] = worst(cpu);
    }
};

// Time until the tool lists a camera on a near host and one on a far host,
// each a real instance of the example camera.
Json::Value near_and_far(const std::string &build, int near_host, int far_host)
{
    auto camera_on = [&](int host) {
        return Process({"/usr/bin/nsenter", "-t", testnet::host_pid(host), "-n", "--",
                        build + "/examples/obx-camera", "--name", "Camera"});
    };
    Process near_camera = camera_on(near_host), far_camera = camera_on(far_host);
    std::this_thread::sleep_for(4s); // both listen, their start-up repeats over
    std::vector<double> on_near, on_far;
    for (int run = 0; run < RUNS; ++run) {
        auto start = Clock::now();
        Process tool({build + "/tools/cli/ombrix-discovery-cli"});
        double near_ms = 1e9, far_ms = 1e9;
        while (auto line = tool.next_line(3s)) {
            if (line->rfind(testnet::host_address(near_host) + " ", 0) == 0)
                near_ms = ms_between(start, Clock::now());
            if (line->rfind(testnet::host_address(far_host) + " ", 0) == 0)
                far_ms = ms_between(start, Clock::now());
            if (near_ms < 1e9 && far_ms < 1e9)
                break;
        }
        on_near.push_back(near_ms);
        on_far.push_back(far_ms);
        tool.interrupt();
    }
    Json::Value r;
    r["near_ms"] = median(on_near);
    r["far_ms"] = median(on_far);
    r["far_ms_worst"] = worst(on_far);
    return r;
}

// A field of /proc/PID/status, such as "Threads", as a number.
long status_field(const std::string &status_path, const std::string &name)
{
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stol(line.substr(name.size() + 1));
    return 0;
}

// Times any thread of the process was woken: its context switches.
long wake_ups(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    long total = 0;
    while (dirent *entry = dir ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.')
            continue;
        std::string status = tasks + "/" + entry->d_name + "/status";
        total += status_field(status, "voluntary_ctxt_switches") +
                 status_field(status, "nonvoluntary_ctxt_switches");
    }
    if (dir)
        closedir(dir);
    return total;
}

// A camera as firmware runs it: the example program, idle for 10 seconds,
// then for 10 seconds with 100 probes a second arriving from host 2.
Json::Value footprint(const std::string &build)
{
    Process camera({build + "/examples/obx-camera", "--name", "Camera", "--rtsp", "rtsp:///live",
                    "--http", "http://:80/"});
    std::this_thread::sleep_for(4s); // its start-up datagrams, repeats included, are out
    std::string status = "/proc/" + std::to_string(camera.pid()) + "/status";
    Json::Value r;
    r["threads"] = static_cast<Json::Int64>(status_field(status, "Threads"));
    r["resident_kib"] = static_cast<Json::Int64>(camera.resident_kib());
    auto measure = [&](const char *name, const std::function<void()> &during) {
        double cpu = camera.cpu_seconds();
        long woken = wake_ups(camera.pid());
        during();
        r[name]["cpu_ms"] = (camera.cpu_seconds() - cpu) * 1000.0;
        r[name]["wake_ups"] = static_cast<Json::Int64>(wake_ups(camera.pid()) - woken);
    };
    measure("idle_10s", [] { std::this_thread::sleep_for(10s); });
    Peer prober = Peer::sending_from(testnet::host_address(2));
    measure("probed_10s", [&] {
        auto next = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            prober.send_to(testnet::host_address(1), R"({"probe": {}, "type": "Probe", "version": 1})");
            std::this_thread::sleep_until(next += 10ms);
        }
    });
    r["resident_kib_after"] = static_cast<Json::Int64>(camera.resident_kib());
    return r;
}

long last_number(const std::string &line)
{
    return std::stol(line.substr(line.rfind(' ') + 1));
}

// The desktop tool on the X display of the environment, timed from inside
// its main loop by the window probe.
class Window {
public:
    struct Rows {
        long at_us;      // when the list held them, monotonic
        long longest_us; // main-loop iteration, from the first row until then
    };

    explicit Window(const std::string &build)
        : tool_({build + "/tools/gtk/ombrix-discovery-gtk"},
                {"LD_PRELOAD=" + build + "/bench/obx-window-probe.so"}, true)
    {
    }
    Rows rows(long count, std::chrono::milliseconds timeout)
    {
        std::istringstream words(ask("rows " + std::to_string(count), timeout));
        std::string word;
        Rows rows{};
        words >> word >> word >> word >> rows.at_us >> word >> rows.longest_us;
        return rows;
    }
    // How long the click held the main thread, beyond the library's own
    // wait in obx_discovery_free and obx_discovery_new, in milliseconds.
    double refresh()
    {
        std::istringstream words(ask("refresh", 5s));
        std::string word;
        long held = 0, library = 0;
        words >> word >> word >> held >> word >> library;
        return static_cast<double>(held - library) / 1000.0;
    }
    // The longest main-loop iteration since the last refresh, in milliseconds.
    double longest_since_refresh()
    {
        return static_cast<double>(last_number(ask("longest", 5s))) / 1000.0;
    }
    long resident_kib() const { return tool_.resident_kib(); }
    // Runs a command of the probe that answers "drawn in MICROSECONDS"; in
    // milliseconds.
    double drawn_after(const std::string &command)
    {
        return static_cast<double>(last_number(ask(command, 10s))) / 1000.0;
    }

private:
    std::string ask(const std::string &command, std::chrono::milliseconds timeout)
    {
        tool_.send_line(command);
        auto line = tool_.next_line(timeout);
        if (!line)
            throw std::runtime_error("the window did not answer \"" + command + "\": " + tool_.err());
        return *line;
    }
    Process tool_;
};

// The window at a large site: a burst of 1000 answers to its probe; then
// 100,000 peers arriving at 20,000 a second, and a refresh with them listed.
Json::Value window_at_large_site(Bench &bench, const std::string &build)
{
    Json::Value r;
    bench.simulator.command("answer 1000");
    std::vector<double> listed, longest;
    for (int run = 0; run < RUNS; ++run) {
        auto start = Clock::now();
        Window window(build);
        Window::Rows rows = window.rows(1000, 10s);
        long answered_at = last_number(bench.simulator.answered_after(start));
        listed.push_back(static_cast<double>(rows.at_us - answered_at) / 1000.0);
        longest.push_back(static_cast<double>(rows.longest_us) / 1000.0);
    }
    r["burst"]["listed_after_last_answer_ms_worst"] = worst(listed);
    r["burst"]["longest_iteration_ms_worst"] = worst(longest);

    bench.simulator.command("answer 0");
    const std::string first = testnet::address_after(testnet::pool_address(0), 1000);
    std::vector<double> held, after_refresh;
    listed.clear();
    longest.clear();
    Window window(build);
    std::this_thread::sleep_for(500ms); // up, its probe unanswered
    r["site"]["resident_mib_empty"] = static_cast<double>(window.resident_kib()) / 1024.0;
    for (int run = 0; run < RUNS; ++run) {
        long sent_at = last_number(bench.simulator.command("paced " + first + " 100000 20000"));
        Window::Rows rows = window.rows(100000, 30s);
        listed.push_back(static_cast<double>(rows.at_us - sent_at) / 1000.0);
        longest.push_back(static_cast<double>(rows.longest_us) / 1000.0);
        if (run == 0)
            r["site"]["resident_mib"] = static_cast<double>(window.resident_kib()) / 1024.0;
        held.push_back(window.refresh());
        std::this_thread::sleep_for(1s); // the old rows go
        after_refresh.push_back(window.longest_since_refresh());
    }
    r["site"]["listed_after_last_ms_worst"] = worst(listed);
    r["site"]["longest_iteration_ms_worst"] = worst(longest);
    r["site"]["refresh_beyond_library_ms_worst"] = worst(held);
    r["site"]["longest_iteration_after_refresh_ms_worst"] = worst(after_refresh);

    // Sorting and finding among 100,000 rows, a keystroke at a time.
    bench.simulator.command("paced " + first + " 100000 20000");
    window.rows(100000, 30s);
    std::vector<double> sorted, found;
    for (int column : {0, 0, 1, 2, 3})
        sorted.push_back(window.drawn_after("sort " + std::to_string(column)));
    std::string typed;
    for (char key : std::string("Camera 42"))
        found.push_back(window.drawn_after("search " + (typed += key)));
    found.push_back(window.drawn_after("search "));
    r["site"]["sort_drawn_ms_worst"] = worst(sorted);
    r["site"]["keystroke_drawn_ms_worst"] = worst(found);

    // 1000 cameras answering at once into a sorted list, then a filtered one.
    std::vector<double> sorted_arrival, filtered_arrival;
    for (int run = 0; run < RUNS; ++run) {
        window.refresh();
        window.drawn_after("sort 0");
        bench.simulator.command("paced " + first + " 1000 1000000");
        sorted_arrival.push_back(static_cast<double>(window.rows(1000, 10s).longest_us) / 1000.0);
        window.refresh();
        window.drawn_after("search Camera");
        bench.simulator.command("paced " + first + " 1000 1000000");
        filtered_arrival.push_back(static_cast<double>(window.rows(1000, 10s).longest_us) / 1000.0);
        window.drawn_after("search ");
    }
    r["site"]["sorted_arrival_longest_iteration_ms_worst"] = worst(sorted_arrival);
    r["site"]["filtered_arrival_longest_iteration_ms_worst"] = worst(filtered_arrival);
    return r;
}

// A lossy link, as Wi-Fi is for broadcasts: the tool's host loses a share
// of the discovery datagrams it sends and of those it receives, at random.
class LossyLink {
public:
    explicit LossyLink(int percent)
    {
        testnet::nft_on_host(1, {"add", "table", "inet", "lossy"});
        for (const char *hook : {"input", "output"}) {
            testnet::nft_on_host(1, {"add", "chain", "inet", "lossy", hook,
                                     std::string("{ type filter hook ") + hook + " priority 0; }"});
            testnet::nft_on_host(1, {"add", "rule", "inet", "lossy", hook, "udp", "dport", "13702",
                                     "numgen", "random", "mod", "100", "<",
                                     std::to_string(percent), "drop"});
        }
    }
    LossyLink(const LossyLink &) = delete;
    LossyLink &operator=(const LossyLink &) = delete;
    ~LossyLink() { testnet::nft_on_host(1, {"delete", "table", "inet", "lossy"}); }
};

// Cameras listed within 4 s of a start over a lossy link, 10 starts at each
// loss; and the datagrams one start sends and draws at 1000 cameras.
Json::Value lossy_links(Bench &bench)
{
    Json::Value r;
    const int cameras = 50;
    bench.simulator.command("answer " + std::to_string(cameras));
    for (int percent : {10, 20}) {
        LossyLink link(percent);
        std::vector<double> listed;
        for (int run = 0; run < 10; ++run) {
            auto start = Clock::now();
            Process tool({bench.cli});
            Clock::time_point last;
            listed.push_back(read_camera_lines(tool, cameras, start + 4s, last) * 100.0 / cameras);
        }
        Json::Value &l = r["loss"][std::to_string(percent)];
        for (double share : listed)
            l["listed_percent"].append(share);
        l["median_percent"] = median(listed);
        l["worst_percent"] = *std::min_element(listed.begin(), listed.end());
    }

    bench.simulator.command("answer 1000");
    UdpCounters before = read_udp_counters();
    {
        auto start = Clock::now();
        Process tool({bench.cli});
        Clock::time_point last;
        read_camera_lines(tool, 1000, start + 4s, last);
        std::this_thread::sleep_until(start + 4s); // every repeat and its answers
        tool.interrupt();
    }
    UdpCounters after = read_udp_counters();
    r["startup_1000"]["received"] = static_cast<Json::Int64>(after.delivered - before.delivered);
    r["startup_1000"]["sent"] = static_cast<Json::Int64>(after.sent - before.sent);
    bench.simulator.command("answer 0");
    return r;
}

// Bursts of answers as a desktop user meets them: whoever runs this pass,
// with the kernel's receive-buffer ceiling as it is.
Json::Value bursts(Bench &bench)
{
    for (int cameras : {250, 1000})
        bench.discovery(cameras);
    Json::Value r = bench.results["discovery"];
    r["rmem_max"] = std::stoi(first_line_of("/proc/sys/net/core/rmem_max"));
    std::istringstream map(first_line_of("/proc/self/uid_map"));
    long inside, outside;
    map >> inside >> outside;
    r["user_outside"] = static_cast<Json::Int64>(outside);
    return r;
}

Json::Value run_pass(const std::string &pass, const std::string &build)
{
    if (pass == "segments") // on the default route's segment, and on the other
        return near_and_far(build, 2, 3);
    if (pass == "routed") { // on the tool's subnet, and beyond the router
        auto relay = testnet::start_relay();
        return near_and_far(build, 3, 4);
    }
    if (pass == "footprint")
        return footprint(build);
    if (pass == "hostile")
        return hostile_peers(build);
    Bench bench(build, 1000);
    if (pass == "bursts")
        return bursts(bench);
    if (pass == "window")
        return window_at_large_site(bench, build);
    if (pass == "lossy")
        return lossy_links(bench);
    for (int cameras : {1, 50, 250, 1000})
        bench.discovery(cameras);
    bench.flood();
    bench.free_under_probe_flood();
    bench.probe_storm();
    bench.memory_under_duplicates();
    bench.idle_cpu();
    return bench.results;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 3 && args[0] == "table") {
            Json::Value all(Json::objectValue);
            for (size_t i = 1; i + 1 < args.size(); ++i) {
                std::ifstream in(args[i]);
                Json::Value pass;
                in >> pass;
                std::string name = args[i].substr(args[i].rfind('/') + 1);
                all[name.substr(0, name.find('.'))] = pass;
            }
            std::ofstream(args.back() + ".json") << all << "\n";
            print_table(all, args.back());
            return 0;
        }
        if (args.size() == 3) {
            testnet::require_isolated_network();
            Json::Value figures = run_pass(args[0], args[1]);
            std::ofstream out(args[2]);
            if (!(out << figures << "\n"))
                throw std::runtime_error("cannot write " + args[2]);
            return 0;
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 1;
    }
    fprintf(stderr, "usage: obx-bench main|bursts|segments|routed|footprint|window|lossy|hostile BUILD-DIR JSON\n"
                    "       obx-bench table JSON... OUTPUT   (run bench/run)\n");
    return 2;
}
