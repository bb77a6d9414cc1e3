// SPDX-License-Identifier: MIT
// ombrix-discovery-cli end to end: the built program on the test network.
#include "support/cases.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>

namespace {

using cases::operator<<;

const std::vector<std::string> utf8_locale = {"LC_ALL=C.UTF-8"};

// The tool hears its own announcement: once its bare line is out, it listens.
std::unique_ptr<Process> start_listening_cli(const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv = {OMBRIX_DISCOVERY_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    auto cli = std::make_unique<Process>(argv, utf8_locale);
    EXPECT_TRUE(cli->wait_for_output(testnet::host_address(1) + "\n", 2s)) << cli->err();
    return cli;
}

struct LineCase {
    const char *name;
    const char *payload;
    const char *line; // "@" stands for the sender's address
};

const LineCase line_cases[] = {
    {"CameraWithNameAndUrls",
     R"({"version": 1, "type": "VideoTransmitter", "name": "Cam", "rtsp": "rtsp:///live", "http": "http://:80/"})",
     "@ Cam http://@:80/ rtsp://@/live"},
    {"OnlyVersion", R"({"version": 1})", "@"},
    {"EmptyNameKeepsItsSpace", R"({"version": 1, "type": "Probe", "name": ""})", "@ "},
    {"EmptyTextsEach", R"({"version": 1, "name": "", "http": "", "rtsp": ""})", "@   "},
    {"UrlsWithoutName", R"({"version": 1, "rtsp": "rtsp://h/s"})", "@ rtsp://h/s"},
    // Each field by the escaping rule; what it keeps reaches the terminal
    // as it came, in the locale's encoding.
    {"FieldsEscapedNonAsciiKept",
     "{\"version\": 1, \"name\": \"Cam\xc3\xa9ra\\n192.0.2.66 fake\\u001b[2J \xff\xe2\x80\xae"
     "a\xd8\x9c" "b\xe2\x80\xa8\", \"http\": \"http://x/\\r\\u007f\", \"rtsp\": \"rtsp://x/\\t\"}",
     "@ Cam\xc3\xa9ra\\n192.0.2.66 fake\\x1b[2J \\xff\\u202e" "a\\u061c" "b\\u2028 "
     "http://x/\\x0d\\x7f rtsp://x/\\t"},
};

class CliLine : public testing::TestWithParam<LineCase> {};

TEST_P(CliLine, PrintsOneLinePerPeer)
{
    const LineCase &c = GetParam();
    const std::string sender = testnet::pool_address(0);
    auto cli = start_listening_cli();

    Peer::sending_from(sender).broadcast(c.payload);
    Peer::sending_from(testnet::pool_address(1)).broadcast(R"({"version": 1})");
    ASSERT_TRUE(cli->wait_for_output(testnet::pool_address(1) + "\n", 2s));

    EXPECT_EQ(cli->out(), testnet::host_address(1) + "\n" + cases::with_address(c.line, sender) +
                              "\n" + testnet::pool_address(1) + "\n");
}

INSTANTIATE_TEST_SUITE_P(EachPeer, CliLine, testing::ValuesIn(line_cases), cases::name);

// Runs the tool with args, and environment's VARIABLE=VALUE settings; they
// must end it at once. Checks that it sent nothing.
int run_to_exit(const std::vector<std::string> &args, std::string &out, std::string &err,
                const std::vector<std::string> &environment = {})
{
    Peer listener = Peer::listening_on_host(2);
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), environment.begin(), environment.end());
    argv.push_back(OMBRIX_DISCOVERY_CLI);
    argv.insert(argv.end(), args.begin(), args.end());
    Process cli(argv);
    int status = cli.wait_for_exit(5s);
    out = cli.out();
    err = cli.err();
    EXPECT_FALSE(listener.receive(100ms)) << "nothing may be sent";
    return status;
}

// In the C locale, the option's own text; in a translated one, its
// translation, from the build tree's catalogues.
TEST(Cli, HelpListsVerboseAndCreatesNoInstance)
{
    const std::pair<const char *, const char *> locales[] = {
        {"C", "Increase verbosity"},
        {"de_DE.UTF-8", "Ausf\xc3\xbchrlichere Ausgabe"},
        {"ja_JP.UTF-8", "\xe8\xa9\xb3\xe7\xb4\xb0\xe3\x81\xaa\xe5\x87\xba\xe5\x8a\x9b"},
    };
    for (const auto &[locale, text] : locales) {
        SCOPED_TRACE(locale);
        std::string out, err;
        EXPECT_EQ(run_to_exit({"--help"}, out, err, {"LC_ALL=" + std::string(locale), "LANGUAGE="}),
                  0);
        EXPECT_NE(out.find("-v, --verbose"), std::string::npos) << out;
        EXPECT_NE(out.find(text), std::string::npos) << out;
        EXPECT_EQ(err, "");
    }
}

TEST(Cli, UnknownOptionFailsWithGlibMessage)
{
    std::string out, err;
    EXPECT_EQ(run_to_exit({"--bogus"}, out, err), 1);
    EXPECT_EQ(err, "Unknown option --bogus\n");
    EXPECT_EQ(out, "");
}

TEST(Cli, ExtraArgumentsAreIgnored)
{
    auto cli = start_listening_cli({"extra", "words"});
    Peer::sending_from(testnet::pool_address(0)).broadcast(R"({"version": 1})");
    EXPECT_TRUE(cli->wait_for_output(testnet::pool_address(0) + "\n", 2s));
}

// What reads the tool's standard output.
enum class Reader { THE_TEST, A_STALLED_PIPE, A_STALLED_TERMINAL };

struct EndCase {
    const char *name;
    std::vector<std::string> wrapper; // runs the tool, "" standing for it
    int signal;                       // sent to it; 0: its output is closed instead
    int status;                       // as Process::wait_for_exit gives it
    Reader reader = Reader::THE_TEST;
};

const EndCase end_cases[] = {
    {"Interrupted", {""}, SIGINT, 128 + SIGINT},
    {"Terminated", {""}, SIGTERM, 128 + SIGTERM},
    {"OutputClosed", {""}, 0, 128 + SIGPIPE},
    {"OutputClosedWithPipeSignalIgnored", {"/bin/sh", "-c", "trap '' PIPE; exec \"$0\"", ""}, 0, 1},
    {"TerminatedWithPipeStalled", {""}, SIGTERM, 128 + SIGTERM, Reader::A_STALLED_PIPE},
    {"InterruptedVerboseWithPipeStalled", {"", "-v"}, SIGINT, 128 + SIGINT, Reader::A_STALLED_PIPE},
    {"HungUpWithTerminalStalled", {""}, SIGHUP, 128 + SIGHUP, Reader::A_STALLED_TERMINAL},
};

// Whether the listener thread of process pid is in the middle of a write.
bool listener_writing(pid_t pid)
{
    std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (const std::string &task : proc_entries(tasks)) {
        std::ifstream comm(tasks + task + "/comm"), syscall(tasks + task + "/syscall");
        std::string name;
        long number = -1;
        if (std::getline(comm, name) && name == "Discovery Liste" && syscall >> number)
            return number == SYS_write || number == SYS_writev;
    }
    return false;
}

// Peers enough to fill any buffer with their lines of about 1 KB.
void announce_long_named_peers()
{
    std::vector<Announcement> peers;
    for (int i = 0; i < 100; ++i) { // the whole pool
        in_addr source{};
        inet_pton(AF_INET, testnet::pool_address(i).c_str(), &source);
        peers.push_back({source, camera_presence(std::string(900, 'n'))});
    }
    Peer::sending_from("0.0.0.0").broadcast_all(peers);
}

class CliEnd : public testing::TestWithParam<EndCase> {};

// Shells, loops and service managers must see how the tool ended, and a
// signal end it within a second, whatever reads its output; it notices a
// closed output without a line to write.
TEST_P(CliEnd, EndsAsItsCauseWould)
{
    const EndCase &c = GetParam();
    std::vector<std::string> argv = c.wrapper;
    std::replace(argv.begin(), argv.end(), std::string(), std::string(OMBRIX_DISCOVERY_CLI));
    Process cli(argv, {},
                c.reader == Reader::A_STALLED_TERMINAL ? Streams::TERMINAL : Streams::PIPES);
    ASSERT_TRUE(cli.wait_for_output(testnet::host_address(1), 2s)) << cli.err();
    int stalled = -1;
    if (c.reader != Reader::THE_TEST) {
        stalled = cli.take_output();
        announce_long_named_peers();
        ASSERT_TRUE(wait_until([&] { return listener_writing(cli.pid()); }, 5s))
            << "its output must be stalled";
    }
    if (c.signal != 0)
        kill(cli.pid(), c.signal);
    else
        cli.close_output();
    // A signal ends it within a second; a closed output, as it exits.
    EXPECT_EQ(cli.wait_for_exit(c.signal != 0 ? 1s : 2s), c.status);
    EXPECT_EQ(cli.err(), "");
    if (c.reader == Reader::A_STALLED_PIPE) {
        std::string written;
        char chunk[4096];
        for (ssize_t size; (size = read(stalled, chunk, sizeof chunk)) > 0;)
            written.append(chunk, static_cast<size_t>(size));
        EXPECT_EQ(written.back(), '\n') << "a line of a pipe is written whole or not at all";
    }
    if (stalled >= 0)
        close(stalled);
}

INSTANTIATE_TEST_SUITE_P(EachCause, CliEnd, testing::ValuesIn(end_cases), cases::name);

enum class Around { NOTHING, A_CAMERA, A_FIREWALL, A_PROGRAM_ON_THE_PORT };

struct SilenceCase {
    const char *name;
    Around around;
    std::vector<std::string> wrapper; // as in EndCase
    const char *err;                  // all of standard error once told
};

#define TOLD "ombrix-discovery-cli: "
#define NOTHING_HEARD                                                                            \
    TOLD "nothing heard on UDP port 13702, not even this tool's own announcement: a firewall " \
         "probably drops the port, or another program holds it (see man ombrix-discovery-cli)\n"

const SilenceCase silence_cases[] = {
    {"CameraAnswered", Around::A_CAMERA, {""}, ""},
    {"NoCameraAnswered", Around::NOTHING, {""},
     TOLD "no camera answered on this computer's networks; cameras on another subnet are heard "
          "only through a broadcast relay (see man ombrix-discovery-cli)\n"},
    {"FirewallDropsThePort", Around::A_FIREWALL, {""}, NOTHING_HEARD},
    {"PortHeldByAnotherProgram", Around::A_PROGRAM_ON_THE_PORT, {""},
     "bind failed 98\n" NOTHING_HEARD},
    {"NoNetwork", Around::NOTHING, {"/usr/bin/unshare", "-n", ""},
     TOLD "no camera found: this computer has no network to broadcast on (no IPv4 interface "
          "that is up, other than loopback)\n"},
};

class CliSilence : public testing::TestWithParam<SilenceCase> {};

// Once its start-up probes have had time to be answered, the tool tells on
// standard error, once, why it lists no camera.
TEST_P(CliSilence, ToldOnceOnStandardError)
{
    const SilenceCase &c = GetParam();
    std::optional<Peer> holder;
    if (c.around == Around::A_PROGRAM_ON_THE_PORT)
        holder.emplace(Peer::listening_on_host(1));
    if (c.around == Around::A_FIREWALL)
        testnet::nft_on_host(1, {"add table inet fw; add chain inet fw in { type filter hook input "
                                 "priority 0; }; add rule inet fw in udp dport 13702 drop"});
    std::vector<std::string> argv = c.wrapper;
    std::replace(argv.begin(), argv.end(), std::string(), std::string(OMBRIX_DISCOVERY_CLI));
    Process cli(argv, utf8_locale);
    if (c.around == Around::A_CAMERA) {
        ASSERT_TRUE(cli.wait_for_output(testnet::host_address(1) + "\n", 2s));
        Peer::sending_from(testnet::pool_address(0)).broadcast(camera_presence("Cam"));
    }
    if (*c.err) {
        EXPECT_TRUE(cli.wait_for_error(c.err, 8s)) << cli.err();
    }
    EXPECT_EQ(cli.wait_for_exit(*c.err ? 500ms : 5s), -1) << "it keeps listening";
    EXPECT_EQ(cli.err(), c.err) << "told once, and only when no camera answered";
    EXPECT_EQ(cli.out().find("ombrix-discovery-cli:"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(EachCause, CliSilence, testing::ValuesIn(silence_cases), cases::name);

TEST(Cli, VerboseTracesEveryDatagram)
{
    auto cli = start_listening_cli({"-v"});
    Peer::sending_from(testnet::pool_address(0)).broadcast(R"({"version": 1})");
    ASSERT_TRUE(cli->wait_for_output(testnet::pool_address(0) + "\n", 2s));
    // Traces come from the listener and the sender threads: each may follow
    // the peer's line. The first wait for a datagram may precede the switch
    // to verbose, which comes after the instance has started.
    for (const std::string &trace :
         {std::string("sent: {\n\t\"probe\" : {},\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}\n"),
          std::string("receiving datagram...\n"),
          "received from " + testnet::pool_address(0) + ": {\"version\": 1}\n"})
        EXPECT_TRUE(cli->wait_for_output(trace, 2s)) << trace << cli->out();
}

} // namespace
