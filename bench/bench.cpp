// SPDX-License-Identifier: MIT
// The benchmark: runs on host 1 of the isolated test network, with the
// camera simulator on the last host, and prints each figure beside its
// target, as a table and as JSON.
//
//   obx-bench CLI SIMULATOR JSON-OUTPUT
#include <obx_discovery/discovery.h>

#include <json/writer.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int RUNS = 5;
constexpr char POOL_PREFIX[] = "198.18.";

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<std::string> words_of(const char *variable)
{
    std::istringstream in(getenv(variable) ? getenv(variable) : "");
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// A child process with pipes on its standard input and output.
class Child {
public:
    explicit Child(std::vector<std::string> argv)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::vector<char *> args;
        for (std::string &arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            throw std::runtime_error("cannot start " + argv[0]);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        close(to_);
        close(from_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }

    void send(const std::string &line)
    {
        std::string text = line + "\n";
        if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("cannot write to child");
    }

    // The next line, or "" once the deadline has passed.
    std::string read_line(Clock::time_point deadline)
    {
        for (;;) {
            size_t end = buffered_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                return line;
            }
            int left = static_cast<int>(ms_between(Clock::now(), deadline));
            pollfd wait{from_, POLLIN, 0};
            if (left <= 0 || poll(&wait, 1, left) <= 0)
                return "";
            char chunk[65536];
            ssize_t size = read(from_, chunk, sizeof chunk);
            if (size <= 0)
                return "";
            buffered_.append(chunk, static_cast<size_t>(size));
        }
    }

    // Ends it with SIGINT, as a user does, and returns its resource usage.
    rusage interrupt()
    {
        kill(pid_, SIGINT);
        rusage usage{};
        int status;
        wait4(pid_, &status, 0, &usage);
        pid_ = -1;
        return usage;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buffered_;
};

class Simulator {
public:
    Simulator(const std::string &program, const std::string &first, int count)
        : child_({"/usr/bin/nsenter", "-t", words_of("OBX_TESTNET_HOSTS").back(), "-n", "--",
                  program, first, std::to_string(count)})
    {
        expect("ready");
    }

    // Sends a command and returns the microseconds of its acknowledgement.
    long command(const std::string &line)
    {
        child_.send(line);
        return microseconds_of(expect_line());
    }

    // The microseconds of the next "answered" burst.
    long answered() { return microseconds_of(expect_line()); }

    // Sends a command and returns its whole acknowledgement.
    std::string request(const std::string &line)
    {
        child_.send(line);
        return expect_line();
    }

private:
    std::string expect_line()
    {
        std::string line = child_.read_line(Clock::now() + 60s);
        if (line.empty())
            throw std::runtime_error("the simulator stopped answering");
        return line;
    }
    void expect(const std::string &word)
    {
        if (expect_line() != word)
            throw std::runtime_error("unexpected simulator output");
    }
    static long microseconds_of(const std::string &line)
    {
        size_t in = line.rfind(" in ");
        return in == std::string::npos ? 0 : std::stol(line.substr(in + 4));
    }
    Child child_;
};

// Kernel counters of the UDP sockets of this network namespace.
struct UdpCounters {
    long delivered = 0;
    long dropped = 0;
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
    }
    return counters;
}

// Bytes waiting in the receive queue of the socket on the discovery port.
long discovery_queue_bytes()
{
    std::ifstream udp("/proc/net/udp");
    std::string line;
    std::getline(udp, line);
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        if (local.size() > 5 && local.substr(local.size() - 5) == ":3586") // 13702
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return 0;
}

void wait_until_drained()
{
    auto deadline = Clock::now() + 60s;
    while (discovery_queue_bytes() > 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
}

long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

double cpu_seconds_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14)
            user = std::stol(field);
        if (i == 15)
            system = std::stol(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpu_seconds(const rusage &usage)
{
    auto seconds = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double spawn_trivial_ms()
{
    char program[] = "/bin/true";
    char *argv[] = {program, nullptr};
    auto start = Clock::now();
    pid_t pid;
    posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
    waitpid(pid, nullptr, 0);
    return ms_between(start, Clock::now());
}

struct Benchmark {
    std::string cli;
    Simulator &simulator;
    Json::Value results;

    // Lines of the tool that name a simulated camera, until count of them or
    // the deadline; returns when the last one came.
    static int read_camera_lines(Child &tool, int count, Clock::time_point deadline,
                                 Clock::time_point &last)
    {
        int seen = 0;
        while (seen < count) {
            std::string line = tool.read_line(deadline);
            if (line.empty())
                break;
            if (line.rfind(POOL_PREFIX, 0) == 0) {
                ++seen;
                last = Clock::now();
            }
        }
        return seen;
    }

    void time_to_last_line(int cameras)
    {
        simulator.command("answer " + std::to_string(cameras));
        std::vector<double> elapsed, floor, ratio, resident, cpu;
        int fewest_reported = cameras;
        for (int run = 0; run < RUNS; ++run) {
            double trivial = spawn_trivial_ms();
            auto start = Clock::now();
            Child tool({cli});
            Clock::time_point last = start;
            int reported = read_camera_lines(tool, cameras, start + 3s, last);
            double sending = static_cast<double>(simulator.answered()) / 1000.0;
            rusage usage = tool.interrupt();

            fewest_reported = std::min(fewest_reported, reported);
            elapsed.push_back(ms_between(start, last));
            floor.push_back(trivial + 80.0 + sending);
            ratio.push_back(elapsed.back() / floor.back());
            resident.push_back(static_cast<double>(usage.ru_maxrss) / 1024.0);
            cpu.push_back(cpu_seconds(usage) * 1000.0);
        }
        Json::Value &r = results["discovery"][std::to_string(cameras)];
        r["cameras"] = cameras;
        r["fewest_reported"] = fewest_reported;
        r["time_to_last_line_ms"] = median(elapsed);
        r["floor_ms"] = median(floor);
        r["ratio_to_floor"] = median(ratio);
        r["peak_resident_mib"] = median(resident);
        r["cpu_ms"] = median(cpu);
    }

    // Datagrams the discovery port's socket took in per second, from the
    // start of a flood of presences until its queue is empty again; and how
    // many it had to drop for want of room.
    struct Intake {
        double per_second;
        long dropped;
    };
    static Intake intake_rate(Simulator &simulator, long datagrams)
    {
        UdpCounters before = read_udp_counters();
        auto start = Clock::now();
        simulator.command("presence " + std::to_string(datagrams));
        wait_until_drained();
        double seconds = ms_between(start, Clock::now()) / 1000.0;
        UdpCounters after = read_udp_counters();
        return {static_cast<double>(after.delivered - before.delivered) / seconds,
                after.dropped - before.dropped};
    }

    void listener_rate()
    {
        simulator.command("answer 0");
        const long flood = 200000;
        std::vector<double> plain, library, ratio, plain_dropped, library_dropped;
        for (int run = 0; run < RUNS; ++run) {
            Intake plain_intake = plain_loop_rate(flood);
            plain.push_back(plain_intake.per_second);
            plain_dropped.push_back(static_cast<double>(plain_intake.dropped));
            ObxPeerDetails details{};
            details.type = OBX_PEER_TYPE_PROBE;
            // A callback, so that presences take the reporting path.
            ObxDiscovery *instance = obx_discovery_new(
                details, [](const char *, ObxPeerDetails, void *) {}, nullptr);
            std::this_thread::sleep_for(200ms); // its own probe and answer pass
            Intake library_intake = intake_rate(simulator, flood);
            library.push_back(library_intake.per_second);
            library_dropped.push_back(static_cast<double>(library_intake.dropped));
            obx_discovery_free(instance);
            ratio.push_back(library.back() / plain.back());
        }
        Json::Value &r = results["listener_rate"];
        r["flood_datagrams"] = static_cast<Json::Int64>(flood);
        r["library_per_second"] = median(library);
        r["plain_recvfrom_per_second"] = median(plain);
        r["ratio"] = median(ratio);
        r["library_dropped"] = median(library_dropped);
        r["plain_recvfrom_dropped"] = median(plain_dropped);
    }

    Intake plain_loop_rate(long flood)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 4 * 1024 * 1024; // as much room as the library's socket has
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in port{};
        port.sin_family = AF_INET;
        port.sin_port = htons(13702);
        if (bind(fd, reinterpret_cast<sockaddr *>(&port), sizeof port) < 0)
            throw std::runtime_error("cannot bind the plain loop's socket");
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            char buffer[1024];
            while (!stop)
                recv(fd, buffer, sizeof buffer, 0);
        });
        Intake rate = intake_rate(simulator, flood);
        stop = true;
        shutdown(fd, SHUT_RDWR);
        reader.join();
        close(fd);
        return rate;
    }

    void idle_cpu()
    {
        std::vector<double> cpu;
        for (int run = 0; run < RUNS; ++run) {
            Child tool({cli});
            tool.read_line(Clock::now() + 2s); // its own announcement: it is up
            std::this_thread::sleep_for(500ms); // and its start-up traffic is over
            double before = cpu_seconds_of(tool.pid());
            std::this_thread::sleep_for(10s);
            cpu.push_back((cpu_seconds_of(tool.pid()) - before) * 1000.0);
        }
        results["idle"]["seconds"] = 10;
        results["idle"]["cpu_ms"] = median(cpu);
        results["idle"]["cpu_ms_max"] = *std::max_element(cpu.begin(), cpu.end());
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
            wait_until_drained();
        }
        results["free_under_probe_flood"]["median_ms"] = median(durations);
        results["free_under_probe_flood"]["max_ms"] =
            *std::max_element(durations.begin(), durations.end());
    }

    // A camera that announces itself 100 ms after a burst of 3000 probes: how
    // long until it is reported, and how often the instance answered.
    void probe_storm(const std::string &last_camera)
    {
        simulator.command("answer 0");
        std::vector<double> latency, answers, span;
        for (int run = 0; run < RUNS; ++run) {
            struct Watch {
                std::string address;
                std::atomic<long> reported_us{0};
            } watch{last_camera};
            ObxPeerDetails details{};
            details.type = OBX_PEER_TYPE_PROBE;
            ObxDiscovery *instance = obx_discovery_new(
                details,
                [](const char *address, ObxPeerDetails, void *data) {
                    auto *w = static_cast<Watch *>(data);
                    if (w->address == address)
                        w->reported_us = static_cast<long>(
                            std::chrono::duration_cast<std::chrono::microseconds>(
                                Clock::now().time_since_epoch())
                                .count());
                },
                &watch);
            std::this_thread::sleep_for(200ms); // its own probe and answer pass
            std::istringstream ack(simulator.request("storm 3000"));
            std::string word;
            long probes = 0, announced_us = 0, answer_count = 0, span_us = 0;
            ack >> word >> probes >> word >> announced_us >> word >> answer_count >> word >> span_us;
            obx_discovery_free(instance);
            long reported = watch.reported_us;
            latency.push_back(reported ? (reported - announced_us) / 1000.0 : 1e9);
            answers.push_back(static_cast<double>(answer_count));
            span.push_back(span_us / 1000.0);
        }
        Json::Value &r = results["probe_storm"];
        r["probes"] = 3000;
        r["report_latency_ms_max"] = *std::max_element(latency.begin(), latency.end());
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
        int fewest_lines = 1000;
        for (int run = 0; run < RUNS; ++run) {
            simulator.command("answer 1000");
            Child tool({cli});
            Clock::time_point last;
            int lines = read_camera_lines(tool, 1000, Clock::now() + 3s, last);
            simulator.answered();
            simulator.command("answer 0");
            std::this_thread::sleep_for(100ms);
            first.push_back(static_cast<double>(resident_kib(tool.pid())));
            simulator.command("presence 1000000");
            wait_until_drained();
            flooded.push_back(static_cast<double>(resident_kib(tool.pid())));
            lines += read_camera_lines(tool, 1, Clock::now() + 100ms, last);
            fewest_lines = std::min(fewest_lines, lines);
        }
        Json::Value &r = results["duplicates"];
        r["duplicates_sent"] = 1000000;
        r["resident_kib_after_first_1000"] = median(first);
        r["resident_kib_after_duplicates"] = median(flooded);
        r["camera_lines"] = fewest_lines;
    }
};

std::string verdict(bool met)
{
    return met ? "met" : "MISSED";
}

void print_table(const Json::Value &r)
{
    printf("%-52s %14s  %-26s %s\n", "figure (median of 5 runs)", "value", "target", "");
    auto row = [](const std::string &name, const std::string &value, const std::string &target,
                  bool met) {
        printf("%-52s %14s  %-26s %s\n", name.c_str(), value.c_str(), target.c_str(),
               verdict(met).c_str());
    };
    char text[64];
    for (const char *n : {"1", "50", "250", "1000"}) {
        const Json::Value &d = r["discovery"][n];
        snprintf(text, sizeof text, "%d of %d", d["fewest_reported"].asInt(), d["cameras"].asInt());
        row(std::string("N=") + n + ": cameras reported (worst run)", text, "all, every run",
            d["fewest_reported"] == d["cameras"]);
        snprintf(text, sizeof text, "%.1f ms", d["time_to_last_line_ms"].asDouble());
        char floor[64];
        snprintf(floor, sizeof floor, "<= 1.25 x %.1f ms floor", d["floor_ms"].asDouble());
        row(std::string("N=") + n + ": start to last line", text, floor,
            d["ratio_to_floor"].asDouble() <= 1.25);
    }
    const Json::Value &rate = r["listener_rate"];
    snprintf(text, sizeof text, "%.0f/s", rate["library_per_second"].asDouble());
    char plain[64];
    snprintf(plain, sizeof plain, ">= 0.5 x %.0f/s plain", rate["plain_recvfrom_per_second"].asDouble());
    row("listener: presence datagrams handled", text, plain, rate["ratio"].asDouble() >= 0.5);
    snprintf(text, sizeof text, "%.0f / %.0f", rate["library_dropped"].asDouble(),
             rate["plain_recvfrom_dropped"].asDouble());
    row("  of 200000: dropped by library / plain loop", text, "(reported)", true);
    const Json::Value &big = r["discovery"]["1000"];
    snprintf(text, sizeof text, "%.2f MiB", big["peak_resident_mib"].asDouble());
    row("N=1000: tool's peak resident memory", text, "< 8 MiB", big["peak_resident_mib"].asDouble() < 8);
    snprintf(text, sizeof text, "%.0f ms", big["cpu_ms"].asDouble());
    row("N=1000: tool's CPU time", text, "(reported)", true);
    snprintf(text, sizeof text, "%.0f ms", r["idle"]["cpu_ms"].asDouble());
    row("tool's CPU time over 10 idle seconds", text, "0 (clock-tick resolution)",
        r["idle"]["cpu_ms_max"].asDouble() < 10);
    snprintf(text, sizeof text, "%.1f ms", r["free_under_probe_flood"]["max_ms"].asDouble());
    row("obx_discovery_free under probe flood (worst)", text, "<= 50 ms",
        r["free_under_probe_flood"]["max_ms"].asDouble() <= 50);
    const Json::Value &storm = r["probe_storm"];
    snprintf(text, sizeof text, "%.1f ms", storm["report_latency_ms_max"].asDouble());
    row("probe storm of 3000: camera reported after (worst)", text, "<= 50 ms",
        storm["report_latency_ms_max"].asDouble() <= 50);
    snprintf(text, sizeof text, "%.0f in %.0f ms", storm["answers"].asDouble(),
             storm["answers_span_ms"].asDouble());
    row("  answers to the storm", text, "<= 1 per 40 ms", storm["answers_paced"].asBool());
    const Json::Value &dup = r["duplicates"];
    snprintf(text, sizeof text, "%.0f KiB", dup["resident_kib_after_first_1000"].asDouble());
    row("tool's resident memory after first 1000 peers", text, "(reported)", true);
    snprintf(text, sizeof text, "%.0f KiB", dup["resident_kib_after_duplicates"].asDouble());
    row("... after 1,000,000 duplicate presences", text, "no growth",
        dup["resident_kib_after_duplicates"].asDouble() <=
            dup["resident_kib_after_first_1000"].asDouble());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 || !getenv("OBX_TESTNET")) {
        fprintf(stderr, "usage: obx-bench CLI SIMULATOR JSON-OUTPUT, on the test network "
                        "(run bench/run)\n");
        return 2;
    }
    std::vector<std::string> pool = words_of("OBX_TESTNET_POOL");
    try {
        Simulator simulator(argv[2], pool.at(0), std::stoi(pool.at(1)));
        Benchmark bench{argv[1], simulator, Json::Value(Json::objectValue)};
        for (int cameras : {1, 50, 250, 1000})
            bench.time_to_last_line(cameras);
        bench.listener_rate();
        bench.free_under_probe_flood();
        in_addr first{};
        inet_pton(AF_INET, pool.at(0).c_str(), &first);
        in_addr last{htonl(ntohl(first.s_addr) + static_cast<uint32_t>(std::stoi(pool.at(1)) - 1))};
        char last_camera[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &last, last_camera, sizeof last_camera);
        bench.probe_storm(last_camera);
        bench.memory_under_duplicates();
        bench.idle_cpu();

        print_table(bench.results);
        std::ofstream(argv[3]) << bench.results << "\n";
        printf("\nfigures written to %s\n", argv[3]);
    } catch (const std::exception &e) {
        fprintf(stderr, "benchmark failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
