// SPDX-License-Identifier: MIT
// A host on two segments, its default route on the first: whatever it sends
// must reach both, and peers on either must be found.
#include "support/capture.h"
#include "support/cases.h"
#include "support/peer.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

// Host 1's address on the segment of the given host.
std::string host1_address_seen_from(int host)
{
    std::string address = testnet::host_address(host);
    return address.substr(0, address.rfind('.')) + ".1";
}

TEST(TwoSegments, StartUpDatagramsLeaveOncePerSegment)
{
    const int hosts[] = {2, 3}; // one on each segment
    std::vector<Peer> listeners;
    for (int host : hosts)
        listeners.push_back(Peer::listening_on_host(host));
    Reports reports;
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    // Its own start-up presence, heard back from the second segment.
    ASSERT_TRUE(reports.wait_for(host1_address_seen_from(3), 2s));
    instance.reset();

    for (size_t i = 0; i < listeners.size(); ++i) {
        int probes = 0, presences = 0;
        while (auto datagram = listeners[i].receive(100ms)) {
            EXPECT_EQ(datagram->source, host1_address_seen_from(hosts[i]));
            datagram->is_probe() ? ++probes : ++presences;
        }
        EXPECT_EQ(probes, 1) << "host " << hosts[i];
        EXPECT_GE(presences, 1) << "host " << hosts[i] << ": start-up presence";
    }
}

TEST(TwoSegments, CameraAlreadyRunningOnSecondSegmentIsFound)
{
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "far", "rtsp:///live", nullptr};
    Instance on_host3;
    bool presence_gone = false; // before the tool listens
    {
        OutputCapture trace(STDOUT_FILENO);
        testnet::run_on_host(3, [&] {
            on_host3.reset(obx_discovery_new(camera, nullptr, nullptr));
            obx_discovery_set_verbose(on_host3.get(), true);
        });
        auto traced = [&] { return trace.text().find("sent: ") != std::string::npos; };
        presence_gone = wait_until(traced, 1s);
        obx_discovery_set_verbose(on_host3.get(), false);
    }
    ASSERT_TRUE(presence_gone);

    Reports reports;
    Instance tool(obx_discovery_new(probe_details(), Reports::callback, &reports));
    auto report = reports.wait_for(testnet::host_address(3), 2s);
    ASSERT_TRUE(report) << "the probe must reach the segment without the default route";
    EXPECT_EQ(report->name, "far");
    EXPECT_EQ(report->rtsp, "rtsp://" + testnet::host_address(3) + "/live");
}

} // namespace
