// SPDX-License-Identifier: MIT
// Starting and stopping instances: sockets, threads and their failures.
#include "support/cases.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <regex>
#include <set>
#include <sstream>

extern char **environ;

namespace {

using cases::operator<<;

TEST(Lifecycle, TwoInstancesOnTwoHostsFindEachOther)
{
    Reports on_host1, on_host2;
    auto start = std::chrono::steady_clock::now();
    Instance first(obx_discovery_new(probe_details(), Reports::callback, &on_host1));
    Instance second;
    testnet::run_on_host(2, [&] {
        second.reset(obx_discovery_new(probe_details(), Reports::callback, &on_host2));
    });

    auto heard_by_1 = on_host1.wait_for(testnet::host_address(2), 2s);
    auto heard_by_2 = on_host2.wait_for(testnet::host_address(1), 2s);
    ASSERT_TRUE(heard_by_1);
    ASSERT_TRUE(heard_by_2);
    auto elapsed = std::chrono::steady_clock::now() - start;
    RecordProperty("found_each_other_ms", static_cast<int>(elapsed / 1ms));
    EXPECT_EQ(heard_by_1->type, OBX_PEER_TYPE_PROBE);
    EXPECT_EQ(heard_by_2->type, OBX_PEER_TYPE_PROBE);
}

TEST(Lifecycle, SecondInstanceOnOneHostCannotBindYetAnnounces)
{
    Peer listener = Peer::listening_on_host(2);
    Reports first_reports, second_reports;
    Instance first(obx_discovery_new(probe_details(), Reports::callback, &first_reports));
    OutputCapture errors(STDERR_FILENO);
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "second", nullptr, nullptr};
    Instance second(obx_discovery_new(camera, Reports::callback, &second_reports));

    Peer::sending_from(testnet::pool_address(1)).broadcast(camera_presence("peer"));
    ASSERT_TRUE(first_reports.wait_for(testnet::pool_address(1), 2s));
    second.reset();
    first.reset();

    EXPECT_EQ(errors.text(), "bind failed 98\n");
    EXPECT_EQ(second_reports.count(testnet::pool_address(1)), 0u) << "it cannot hear";
    bool second_announced = false, second_probed = false;
    while (auto datagram = listener.receive(100ms)) {
        bool from_second = datagram->payload.find("\"second\"") != std::string::npos;
        second_announced |= from_second && !datagram->is_probe();
        second_probed |= from_second && datagram->is_probe();
    }
    EXPECT_TRUE(second_announced);
    EXPECT_TRUE(second_probed);
}

TEST(Lifecycle, VerboseRightAfterNewTracesStartUpDatagrams)
{
    OutputCapture output(STDOUT_FILENO);
    Instance instance(obx_discovery_new(probe_details(), nullptr, nullptr));
    obx_discovery_set_verbose(instance.get(), true);
    instance.reset();

    EXPECT_NE(output.text().find("sent: {\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}\n"),
              std::string::npos)
        << output.text();
}

std::vector<std::string> socket_descriptors(pid_t pid)
{
    std::vector<std::string> sockets;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (const std::string &descriptor : proc_entries(dir)) {
        char target[256] = {};
        if (readlink((dir + descriptor).c_str(), target, sizeof target - 1) > 0 &&
            strncmp(target, "socket:", 7) == 0)
            sockets.push_back(target);
    }
    return sockets;
}

struct StallCase {
    const char *name;
    StalledStandardError::Kind kind;
};

const StallCase stall_cases[] = {
    {"Pipe", StalledStandardError::Kind::PIPE},
    {"Terminal", StalledStandardError::Kind::TERMINAL},
    {"Socket", StalledStandardError::Kind::SOCKET},
    {"PipeWithoutReader", StalledStandardError::Kind::PIPE_WITHOUT_READER},
};

// Malformed, of mixed sizes: lines of 30 to 1000 bytes meet a buffer that
// is nearly full.
std::string malformed_payload(int i)
{
    return "not json " + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 3) * 480, 'x');
}

class StalledStandardErrorTest : public testing::TestWithParam<StallCase> {};

// A reader that stopped or went never holds the listener or free(), never
// raises SIGPIPE here, and never sees a line glued to another.
TEST_P(StalledStandardErrorTest, NeverHoldsTheInstance)
{
    StalledStandardError stalled(GetParam().kind);
    Reports reports;
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    Peer sender = Peer::sending_from(testnet::pool_address(1));
    std::set<std::string> messages;
    for (int i = 0; i < 200; ++i) {
        sender.broadcast(malformed_payload(i));
        messages.insert("json parsing error: " + malformed_payload(i));
    }
    Peer::sending_from(testnet::pool_address(2)).broadcast(camera_presence("after"));
    EXPECT_TRUE(reports.wait_for(testnet::pool_address(2), 2s)) << "the listener must go on";

    auto freed = std::async(std::launch::async, [&] { instance.reset(); });
    bool freed_at_once = freed.wait_for(100ms) == std::future_status::ready;
    std::string written = stalled.read_for(300ms); // lets a held free() go on
    freed.wait();
    EXPECT_TRUE(freed_at_once);

    // The last line may still wait for its tail.
    std::istringstream lines(written.substr(0, written.rfind('\n') + 1));
    for (std::string line; std::getline(lines, line);) {
        bool count = std::regex_match(line, std::regex("[0-9]+ more messages suppressed"));
        EXPECT_TRUE(count || messages.count(line) == 1) << "not a whole line: " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(EachReader, StalledStandardErrorTest, testing::ValuesIn(stall_cases),
                         cases::name);

// A program started while an instance runs must not keep its port.
TEST(Lifecycle, ChildProcessesInheritNoSocket)
{
    Instance instance(obx_discovery_new(probe_details(), nullptr, nullptr));
    pid_t child;
    char sleep_path[] = "/bin/sleep", seconds[] = "30";
    char *argv[] = {sleep_path, seconds, nullptr};
    ASSERT_EQ(posix_spawn(&child, sleep_path, nullptr, nullptr, argv, environ), 0);
    instance.reset();

    EXPECT_EQ(socket_descriptors(child), std::vector<std::string>());
    EXPECT_TRUE(discovery_port_is_free());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

// Runs body in a child process with no descriptor left to open, and returns
// what it wrote on standard error.
std::string run_without_descriptors(const std::function<void()> &body)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        int lowest_free = dup(STDERR_FILENO);
        rlimit limit{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
        close(lowest_free);
        setrlimit(RLIMIT_NOFILE, &limit);
        body();
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return text;
}

double cpu_seconds_used()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpu_seconds(usage);
}

TEST(Lifecycle, FailedSocketIsReportedAndListenerDoesNotSpin)
{
    std::string errors = run_without_descriptors([] {
        ObxDiscovery *instance = obx_discovery_new(probe_details(), nullptr, nullptr);
        double before = cpu_seconds_used();
        usleep(300000);
        double busy = cpu_seconds_used() - before;
        obx_discovery_free(instance);
        if (busy > 0.1) {
            fprintf(stderr, "busy %.3f s\n", busy);
            _exit(1);
        }
    });
    EXPECT_EQ(errors, "socket failed\nbind failed 9\nsocket creation failed\n");
}

} // namespace
