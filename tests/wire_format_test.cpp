// SPDX-License-Identifier: MIT
// The bytes an instance puts on the wire, as an independent peer hears them.
#include "support/cases.h"
#include "support/peer.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using cases::operator<<;

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

// What only sockets show: each start-up datagram, the answer to the
// instance's own probe and to another's, and nothing after it is freed. The
// texts of each kind of datagram are in the encoder's table.
TEST(WireFormat, StartUpDatagramsAndProbeAnswer)
{
    const std::string presence =
        "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"rtsp\" : \"rtsp://h/s\",\n"
        "\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}";
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "cam", "rtsp://h/s", "http://h/"};
    Instance instance(obx_discovery_new(camera, Reports::callback, &reports));

    // The instance hears its own probe and answers it like any other.
    std::vector<std::string> heard;
    for (const Datagram &d : receive_from_host1(listener, 3))
        heard.push_back(d.payload);
    std::vector<std::string> expected = {
        presence, presence,
        "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"probe\" : {},\n"
        "\t\"rtsp\" : \"rtsp://h/s\",\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}"};
    std::sort(heard.begin(), heard.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(heard, expected);

    Peer::sending_from(testnet::pool_address(0)).broadcast(R"({"version": 1, "probe": {}})");
    auto answer = receive_from_host1(listener, 1);
    ASSERT_EQ(answer.size(), 1u) << "probe not answered";
    EXPECT_EQ(answer[0].payload, presence);

    instance.reset();
    EXPECT_FALSE(listener.receive(100ms)) << "nothing else may be sent";
}

TEST(StartUp, DatagramsWaitFortyMillisecondsEvenWhenFreedAtOnce)
{
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    auto created = std::chrono::steady_clock::now();
    obx_discovery_free(obx_discovery_new(probe_details(), Reports::callback, &reports));
    auto freed = std::chrono::steady_clock::now();

    EXPECT_GE(freed - created, 40ms) << "free must wait for the pending datagrams";
    EXPECT_LT(freed - created, 150ms) << "but not for a repeat";
    std::vector<Datagram> heard = receive_from_host1(listener, 2);
    ASSERT_EQ(heard.size(), 2u) << "the probe and the presence must still be sent";
    for (const Datagram &d : heard)
        EXPECT_GE(d.arrival - created, 40ms);
    EXPECT_FALSE(listener.receive(600ms)) << "no repeat once freed";
}

// The start-up probe and presence, each at 40 ms and again at 0.5, 1.5 and
// 3.5 s, with the answers to its own probes among the presences.
TEST(StartUp, ProbeAndPresenceRepeatedOnSchedule)
{
    Peer listener = Peer::listening_on_host(2);
    Reports reports;
    auto created = std::chrono::steady_clock::now();
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    std::vector<Datagram> probes, presences;
    for (auto end = created + 3900ms; std::chrono::steady_clock::now() < end;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        auto datagram = listener.receive(std::max(left, 1ms));
        if (datagram && datagram->source == testnet::host_address(1))
            (datagram->is_probe() ? probes : presences).push_back(*datagram);
    }

    const std::chrono::milliseconds schedule[] = {40ms, 500ms, 1500ms, 3500ms};
    auto sent_near = [&](const std::vector<Datagram> &heard, std::chrono::milliseconds at) {
        return std::any_of(heard.begin(), heard.end(), [&](const Datagram &d) {
            return d.arrival - created >= at && d.arrival - created < at + 100ms;
        });
    };
    EXPECT_EQ(probes.size(), std::size(schedule));
    for (auto at : schedule) {
        EXPECT_TRUE(sent_near(probes, at)) << "probe at " << at.count() << " ms";
        EXPECT_TRUE(sent_near(presences, at)) << "presence at " << at.count() << " ms";
    }
}

// Drops the first probe that reaches host 2, as a lossy link may: an nftables
// rule that matches the probe member at the start of the datagram.
class FirstProbeLostOnHost2 {
public:
    FirstProbeLostOnHost2()
    {
        testnet::nft_on_host(2, {"add", "table", "inet", "lossy"});
        testnet::nft_on_host(2, {"add", "chain", "inet", "lossy", "in",
                                 "{ type filter hook input priority 0; }"});
        testnet::nft_on_host(2, {"add", "rule", "inet", "lossy", "in", "udp", "dport", "13702",
                                 "@th,88,48", "0x2270726f6265", "numgen", "inc", "mod", "1000000",
                                 "==", "0", "drop"});
    }
    FirstProbeLostOnHost2(const FirstProbeLostOnHost2 &) = delete;
    FirstProbeLostOnHost2 &operator=(const FirstProbeLostOnHost2 &) = delete;
    ~FirstProbeLostOnHost2() { testnet::nft_on_host(2, {"delete", "table", "inet", "lossy"}); }
};

TEST(StartUp, CameraListedAlthoughTheFirstProbeIsLost)
{
    FirstProbeLostOnHost2 lossy;
    Peer camera_hears = Peer::listening_on_host(2);
    Reports reports;
    auto created = std::chrono::steady_clock::now();
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));

    std::optional<Datagram> probe;
    do {
        probe = camera_hears.receive(2s);
    } while (probe && (probe->source != testnet::host_address(1) || !probe->is_probe()));
    ASSERT_TRUE(probe) << "no probe came through";
    EXPECT_GE(probe->arrival - created, 400ms) << "the first one was to be lost";
    // The camera answers the probe it heard.
    Peer::sending_from(testnet::pool_address(0)).broadcast(camera_presence("Camera"));
    EXPECT_TRUE(reports.wait_for(testnet::pool_address(0), 1s));
}

} // namespace
