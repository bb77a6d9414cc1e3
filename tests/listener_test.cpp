// SPDX-License-Identifier: MIT
// What the listener makes of each datagram it hears: reports, messages, and
// survival of hostile input.
#include "support/capture.h"
#include "support/peer.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

using namespace std::string_literals;

namespace {

enum class Outcome { REPORTED, DROPPED };

struct ListenerCase {
    const char *name;
    std::string payload;
    std::string errors; // standard error, exactly
    Outcome outcome;
    // The report, when there is one; "@" stands for the sender's address.
    ObxPeerType type = OBX_PEER_TYPE_UNKNOWN;
    std::optional<std::string> device_name = std::nullopt;
    std::optional<std::string> rtsp = std::nullopt;
    std::optional<std::string> http = std::nullopt;
};

const std::string padded_head = R"({"version": 1, "type": "Probe", "name": ")";
const std::string padded_tail = R"("})";

// The name that makes a presence datagram exactly size bytes long.
std::string padding(size_t size)
{
    return std::string(size - padded_head.size() - padded_tail.size(), 'n');
}

std::string padded_presence(size_t size)
{
    return padded_head + padding(size) + padded_tail;
}

const ListenerCase listener_cases[] = {
    // Well-formed peers.
    {"CameraUrlsCompleted",
     R"({"version": 1, "type": "VideoTransmitter", "name": "Cam", "rtsp": "rtsp:///live", "http": "http://:80/"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_VIDEO_TRANSMITTER, "Cam", "rtsp://@/live",
     "http://@:80/"},
    {"UrlWithHostUnchanged",
     R"({"version": 1, "type": "VideoTransmitter", "rtsp": "rtsp://192.168.1.20:554/live", "http": "http://cam.local/"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_VIDEO_TRANSMITTER, std::nullopt,
     "rtsp://192.168.1.20:554/live", "http://cam.local/"},
    {"UrlCompletionPerScheme",
     R"({"version": 1, "type": "VideoTransmitter", "rtsp": "http:///a rtsp:///b rtsp://:1/", "http": "rtsp:///c"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_VIDEO_TRANSMITTER, std::nullopt, "http:///a rtsp://@/b rtsp://@:1/",
     "rtsp:///c"},
    {"SecureSchemesCompleted",
     R"({"version": 1, "type": "VideoTransmitter", "rtsp": "rtsps:///live", "http": "https://:443/"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_VIDEO_TRANSMITTER, std::nullopt, "rtsps://@/live",
     "https://@:443/"},
    {"SecureSchemeOnlyInItsMember",
     R"({"version": 1, "type": "VideoTransmitter", "rtsp": "https:///a", "http": "rtsps:///b"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_VIDEO_TRANSMITTER, std::nullopt, "https:///a",
     "rtsps:///b"},
    {"UrlsReadWhateverTheKind", R"({"version": 1, "type": "Probe", "rtsp": "rtsp:///x"})", "",
     Outcome::REPORTED, OBX_PEER_TYPE_PROBE, std::nullopt, "rtsp://@/x"},
    {"EmptyNameIsPresent", R"({"version": 1, "type": "Probe", "name": ""})", "",
     Outcome::REPORTED, OBX_PEER_TYPE_PROBE, ""},
    {"VersionOneAsWholeFloat", R"({"version": 1.0, "type": "Probe"})", "", Outcome::REPORTED,
     OBX_PEER_TYPE_PROBE},
    {"CommentsAndTrailingTextIgnored",
     "{\"version\": 1, /* note */ \"type\": \"Probe\"} // end\ngarbage", "", Outcome::REPORTED,
     OBX_PEER_TYPE_PROBE},
    {"RepeatedMemberLastCounts", R"({"version": 1, "type": "Probe", "name": "a", "name": "b"})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE, "b"},
    // A problem with the kind costs only the kind.
    {"NoType", R"({"version": 1})", "no peer type: {\"version\": 1}\n", Outcome::REPORTED},
    {"TypeNotString", R"({"version": 1, "type": 5})", "peer type is not string: 5\n",
     Outcome::REPORTED},
    {"UnknownType", R"({"version": 1, "type": "Toaster"})", "unknown peer type: Toaster\n",
     Outcome::REPORTED},
    {"TypeMatchesLetterCase", R"({"version": 1, "type": "probe"})",
     "unknown peer type: probe\n", Outcome::REPORTED},
    // Every other problem drops the datagram.
    {"VersionAsString", R"({"version": "1", "type": "Probe"})",
     "protocol version is not integer: \"1\"\n", Outcome::DROPPED},
    {"VersionMissing", R"({"type": "Probe"})", "protocol version is not integer: null\n",
     Outcome::DROPPED},
    {"VersionFraction", R"({"version": 1.5})", "protocol version is not integer: 1.5\n",
     Outcome::DROPPED},
    {"VersionTwo", R"({"version": 2, "type": "Probe"})", "unsupported protocol version: 2\n",
     Outcome::DROPPED},
    {"NullLiteral", "null", "protocol version is not integer: null\n", Outcome::DROPPED},
    {"NameNotString", R"({"version": 1, "type": "Probe", "name": 42})",
     "device name is not string: 42\n", Outcome::DROPPED},
    {"RtspNotString", R"({"version": 1, "type": "Probe", "rtsp": true})",
     "RTSP URL is not string: true\n", Outcome::DROPPED},
    {"HttpNotString", R"({"version": 1, "type": "Probe", "http": {"a": 1}})",
     "Web UI URL is not string: {\n\t\"a\" : 1\n}\n", Outcome::DROPPED},
    {"TrailingComma", R"({"version": 1, "type": "Probe",})",
     "json parsing error: {\"version\": 1, \"type\": \"Probe\",}\n", Outcome::DROPPED},
    {"NotJson", "hello", "json parsing error: hello\n", Outcome::DROPPED},
    {"EmptyDatagram", "", "", Outcome::DROPPED},
    {"ProbeIsNeverReported", R"({"version": 1, "probe": {}, "type": "VideoTransmitter", "name": "x"})",
     "", Outcome::DROPPED},
    // Hostile input: dropped, and the listener carries on.
    {"NestingBeyondParserStack", std::string(1020, '['),
     "json parsing error: " + std::string(1020, '[') + "\n", Outcome::DROPPED},
    {"TopLevelArray", "[1]", "datagram is not an object: [\n\t1\n]\n", Outcome::DROPPED},
    {"TopLevelNumber", "7", "datagram is not an object: 7\n", Outcome::DROPPED},
    {"TopLevelString", "\"x\"", "datagram is not an object: \"x\"\n", Outcome::DROPPED},
    {"TopLevelBoolean", "true", "datagram is not an object: true\n", Outcome::DROPPED},
    {"LongerThanBuffer", padded_presence(1500),
     "json parsing error: " + padded_presence(1500).substr(0, 1024) + "\n", Outcome::DROPPED},
    {"FillsBufferExactly", padded_presence(1024), "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE,
     padding(1024)},
    {"TextEndsAtFirstNul", "{\"version\": 1, \"type\": \"Probe\"\0}"s,
     "json parsing error: {\"version\": 1, \"type\": \"Probe\"\n", Outcome::DROPPED},
    // Text from the network never reaches the terminal raw.
    {"ControlBytesInTypeString", R"({"version": 1, "type": "\u001b[2J\n"})",
     "unknown peer type: \\x1b[2J\\x0a\n", Outcome::REPORTED},
    {"ControlBytesInUnparsableText", "\x1b[31mred\r\n\tx\x7f",
     "json parsing error: \\x1b[31mred\\x0d\n\tx\\x7f\n", Outcome::DROPPED},
    {"ControlBytesInEchoedPayload", "{\"version\": 1} /* \x07 */",
     "no peer type: {\"version\": 1} /* \\x07 */\n", Outcome::REPORTED},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ListenerCase &c, std::ostream *out)
{
    *out << c.name;
}

class Listener : public testing::TestWithParam<ListenerCase> {};

std::optional<std::string> expected_text(std::optional<std::string> out,
                                         const std::string &sender)
{
    if (!out)
        return std::nullopt;
    for (size_t at = out->find('@'); at != std::string::npos; at = out->find('@', at))
        out->replace(at, 1, sender);
    return out;
}

TEST_P(Listener, HandlesDatagram)
{
    const ListenerCase &c = GetParam();
    const std::string sender_address = testnet::pool_address(1);
    const std::string marker_address = testnet::pool_address(2);
    Peer sender = Peer::sending_from(sender_address);
    Peer marker = Peer::sending_from(marker_address);
    Reports reports;
    OutputCapture errors(STDERR_FILENO);
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));

    sender.broadcast(c.payload);
    // The listener handles datagrams in order: once the marker is reported,
    // the datagram under test has been handled.
    marker.broadcast(camera_presence("marker"));
    ASSERT_TRUE(reports.wait_for(marker_address, 2s)) << "the listener stopped working";
    instance.reset();

    EXPECT_EQ(errors.text(), c.errors);
    if (c.outcome == Outcome::DROPPED) {
        EXPECT_EQ(reports.count(sender_address), 0u);
        return;
    }
    EXPECT_EQ(reports.count(sender_address), 1u);
    auto report = reports.wait_for(sender_address, 0ms);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->type, c.type);
    EXPECT_EQ(report->name, expected_text(c.device_name, sender_address));
    EXPECT_EQ(report->rtsp, expected_text(c.rtsp, sender_address));
    EXPECT_EQ(report->http, expected_text(c.http, sender_address));
}

INSTANTIATE_TEST_SUITE_P(EachDatagram, Listener, testing::ValuesIn(listener_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Sends each payload from one sender, then a marker, and waits for the marker.
void send_then_sync(Reports &reports, const std::vector<std::string> &payloads)
{
    Peer sender = Peer::sending_from(testnet::pool_address(1));
    for (const std::string &payload : payloads)
        sender.broadcast(payload);
    Peer::sending_from(testnet::pool_address(2)).broadcast(camera_presence("marker"));
    ASSERT_TRUE(reports.wait_for(testnet::pool_address(2), 2s));
}

TEST(Listener, ReportsEachAddressOnce)
{
    Reports reports;
    OutputCapture output(STDOUT_FILENO);
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    obx_discovery_set_verbose(instance.get(), true);

    send_then_sync(reports, {camera_presence("first"), camera_presence("second"),
                             camera_presence("third")});

    const std::string sender = testnet::pool_address(1);
    EXPECT_EQ(reports.count(sender), 1u);
    EXPECT_EQ(reports.wait_for(sender, 0ms)->name, "first");
    std::string text = output.text();
    size_t repeats = 0;
    for (size_t at = text.find("already reported: " + sender + "\n"); at != std::string::npos;
         at = text.find("already reported: " + sender + "\n", at + 1))
        ++repeats;
    EXPECT_EQ(repeats, 2u);
}

TEST(Listener, SenderOfBadDatagramIsNeverReported)
{
    Reports reports;
    OutputCapture errors(STDERR_FILENO);
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));

    send_then_sync(reports, {R"({"version": 1, "name": 42})", camera_presence("good")});

    EXPECT_EQ(reports.count(testnet::pool_address(1)), 0u);
}

TEST(Listener, ProbeIsAnsweredWithOnePresence)
{
    Peer listener = Peer::listening_on_host(2);
    // Without a callback the instance sends no probe of its own to answer.
    Instance instance(obx_discovery_new(probe_details(), nullptr, nullptr));
    Peer::sending_from(testnet::pool_address(1))
        .broadcast(R"({"version": 1, "probe": 0, "type": "VideoTransmitter", "name": "x"})");

    auto presence_from_host1 = [&](std::chrono::milliseconds timeout) {
        while (auto datagram = listener.receive(timeout))
            if (datagram->source == testnet::host_address(1))
                return true;
        return false;
    };
    ASSERT_TRUE(presence_from_host1(2s));
    ASSERT_TRUE(presence_from_host1(2s)) << "start-up presence and the answer";
    instance.reset();
    EXPECT_FALSE(presence_from_host1(100ms)) << "one answer per probe";
}

// A flood of probes must neither silence the listener nor draw a flood of
// answers.
TEST(Listener, ProbeStormLeavesListenerHearing)
{
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    ASSERT_TRUE(reports.wait_for(testnet::host_address(1), 2s));
    while (listener.receive(150ms)) {
    } // the answer to its own probe

    std::vector<Datagram> answers;
    std::thread collect([&] {
        while (auto datagram = listener.receive(500ms))
            if (datagram->source == testnet::host_address(1))
                answers.push_back(*datagram);
    });
    Peer prober = Peer::sending_from(testnet::pool_address(1));
    for (int i = 0; i < 3000; ++i) // to host 1 alone: host 2 only hears the answers
        prober.send_to(testnet::host_address(1), R"({"version": 1, "probe": {}})");
    auto storm_end = std::chrono::steady_clock::now();
    Peer::sending_from(testnet::pool_address(2)).broadcast(camera_presence("late"));
    bool reported = reports.wait_for(testnet::pool_address(2), 10s).has_value();
    auto reported_at = std::chrono::steady_clock::now();
    collect.join();

    ASSERT_TRUE(reported) << "the listener must hear on through the storm";
    ASSERT_FALSE(answers.empty());
    auto span = answers.back().arrival - answers.front().arrival;
    EXPECT_LE(answers.size() - 1, static_cast<size_t>(span / 40ms) + 1)
        << answers.size() << " answers in " << span / 1ms << " ms";
    EXPECT_GE(answers.back().arrival - storm_end, 40ms) << "the last probes need an answer too";
    EXPECT_LT(reported_at, answers.back().arrival) << "reported only after the storm's answers";
}

TEST(Listener, WithoutCallbackIgnoresPresence)
{
    OutputCapture errors(STDERR_FILENO);
    Instance instance(obx_discovery_new(probe_details(), nullptr, nullptr));
    Peer listener = Peer::listening_on_host(2);
    Peer sender = Peer::sending_from(testnet::pool_address(1));
    sender.broadcast(R"({"version": 1})"); // would say "no peer type" if it were checked
    sender.broadcast(R"({"version": 1, "probe": {}})");

    ASSERT_TRUE(listener.receive(2s)); // the probe's answer: both have been handled
    while (listener.receive(100ms)) {
    }
    EXPECT_EQ(errors.text(), "");
}

TEST(Listener, VerboseEchoEscapesControlBytes)
{
    Reports reports;
    OutputCapture errors(STDERR_FILENO); // the payload is no JSON
    OutputCapture output(STDOUT_FILENO);
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    obx_discovery_set_verbose(instance.get(), true);

    send_then_sync(reports, {"\x1b]0;owned\x07{\n\t}"});

    EXPECT_NE(output.text().find("received from " + testnet::pool_address(1) +
                                 ": \\x1b]0;owned\\x07{\n\t}\n"),
              std::string::npos)
        << output.text();
}

} // namespace
