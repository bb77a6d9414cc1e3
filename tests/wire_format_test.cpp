// SPDX-License-Identifier: MIT
// The bytes an instance puts on the wire, as an independent peer hears them.
#include "support/peer.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

struct WireCase {
    const char *name;
    ObxPeerDetails details;
    bool with_callback;
    const char *presence;
    const char *probe; // nullptr: the instance must not probe
};

const WireCase wire_cases[] = {
    {"UnknownKindNoName", {OBX_PEER_TYPE_UNKNOWN, nullptr, nullptr, nullptr}, false,
     "{\n\t\"version\" : 1\n}", nullptr},
    {"DiscoveryTool", {OBX_PEER_TYPE_PROBE, nullptr, nullptr, nullptr}, true,
     "{\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}",
     "{\n\t\"probe\" : {},\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}"},
    {"CameraWithEverything",
     {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "Cam\xc3\xa9ra entr\xc3\xa9" "e", "rtsp:///live",
      "http://:80/"},
     false,
     "{\n\t\"http\" : \"http://:80/\",\n\t\"name\" : \"Cam\xc3\xa9ra entr\xc3\xa9" "e\",\n"
     "\t\"rtsp\" : \"rtsp:///live\",\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}",
     nullptr},
    {"CameraProbingWithEverything",
     {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "cam", "rtsp://h/s", "http://h/"}, true,
     "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"rtsp\" : \"rtsp://h/s\",\n"
     "\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}",
     "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"probe\" : {},\n"
     "\t\"rtsp\" : \"rtsp://h/s\",\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}"},
    {"EmptyTextsCountAsAbsent", {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "", "", ""}, false,
     "{\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}", nullptr},
    {"UrlsOnlyForCameras", {OBX_PEER_TYPE_PROBE, "tool", "rtsp://h/s", "http://h/"}, false,
     "{\n\t\"name\" : \"tool\",\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}", nullptr},
    {"UnknownKindKeepsItsName", {static_cast<ObxPeerType>(7), "odd", "rtsp://h/s", nullptr},
     false, "{\n\t\"name\" : \"odd\",\n\t\"version\" : 1\n}", nullptr},
    {"JsonEscapesInName", {OBX_PEER_TYPE_UNKNOWN, "say \"hi\"\\\t\x01", nullptr, nullptr}, false,
     "{\n\t\"name\" : \"say \\\"hi\\\"\\\\\\t\\u0001\",\n\t\"version\" : 1\n}", nullptr},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const WireCase &c, std::ostream *out)
{
    *out << c.name;
}

class WireFormat : public testing::TestWithParam<WireCase> {};

// Collects the start-up datagrams: count of them, from the instance's host.
std::vector<Datagram> receive_from_host1(const Peer &listener, size_t count)
{
    std::vector<Datagram> datagrams;
    while (datagrams.size() < count) {
        auto datagram = listener.receive(2s);
        if (!datagram)
            break;
        if (datagram->source == testnet::host_address(1))
            datagrams.push_back(*datagram);
    }
    return datagrams;
}

TEST_P(WireFormat, StartUpDatagramsAndProbeAnswer)
{
    const WireCase &c = GetParam();
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    Instance instance(obx_discovery_new(c.details, c.with_callback ? Reports::callback : nullptr,
                                        &reports));

    std::vector<std::string> expected = {c.presence};
    if (c.probe) {
        // The instance hears its own probe and answers it like any other.
        expected.push_back(c.probe);
        expected.push_back(c.presence);
    }
    std::vector<std::string> heard;
    for (const Datagram &d : receive_from_host1(listener, expected.size()))
        heard.push_back(d.payload);
    std::sort(heard.begin(), heard.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(heard, expected);

    Peer prober = Peer::sending_from(testnet::pool_address(0));
    prober.broadcast(R"({"version": 1, "probe": {}})");
    auto answer = receive_from_host1(listener, 1);
    ASSERT_EQ(answer.size(), 1u) << "probe not answered";
    EXPECT_EQ(answer[0].payload, c.presence);

    instance.reset();
    EXPECT_FALSE(listener.receive(100ms)) << "nothing else may be sent";
}

INSTANTIATE_TEST_SUITE_P(EachKind, WireFormat, testing::ValuesIn(wire_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(StartUp, DatagramsWaitFortyMillisecondsEvenWhenFreedAtOnce)
{
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    auto created = std::chrono::steady_clock::now();
    obx_discovery_free(obx_discovery_new(probe_details(), Reports::callback, &reports));
    auto freed = std::chrono::steady_clock::now();

    EXPECT_GE(freed - created, 40ms) << "free must wait for the pending datagrams";
    std::vector<Datagram> heard = receive_from_host1(listener, 2);
    ASSERT_EQ(heard.size(), 2u) << "the probe and the presence must still be sent";
    for (const Datagram &d : heard)
        EXPECT_GE(d.arrival - created, 40ms);
}

} // namespace
