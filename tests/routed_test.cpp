// SPDX-License-Identifier: MIT
// Two subnets joined by a router (host 2), as at a site whose cameras have
// a network of their own: the tool on host 1, cameras on hosts 4 and 5 on
// the far side. Broadcasts stop at the router; the project's relay unit
// carries them across.
#include "support/cases.h"
#include "support/process.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <regex>

using namespace std::chrono_literals;

namespace {

const int counted_hosts[] = {1, 4, 5};

std::string counter_name(int host)
{
    return "from_host" + std::to_string(host);
}

// Counts on host the discovery datagrams it sends ("sent") and those it
// receives from each counted host, and other broadcasts from host 4
// ("other").
void count_datagrams(int host)
{
    std::string rules = "add table inet counted; "
                        "add counter inet counted sent; add counter inet counted other; "
                        "add chain inet counted out { type filter hook output priority 0; }; "
                        "add chain inet counted in { type filter hook input priority 0; }; "
                        "add rule inet counted out udp dport 13702 counter name sent; "
                        "add rule inet counted in ip saddr " +
                        testnet::host_address(4) + " udp dport != 13702 counter name other; ";
    for (int from : counted_hosts) {
        rules += "add counter inet counted " + counter_name(from) + "; ";
        rules += "add rule inet counted in ip saddr " + testnet::host_address(from) +
                 " udp dport 13702 counter name " + counter_name(from) + "; ";
    }
    testnet::nft_on_host(host, {rules});
}

long counted(int host, const std::string &name)
{
    std::string listing = testnet::nft_on_host(host, {"list", "counter", "inet", "counted", name});
    std::smatch packets;
    if (!std::regex_search(listing, packets, std::regex("packets ([0-9]+)")))
        throw std::runtime_error("no packet count in: " + listing);
    return std::stol(packets[1]);
}

bool wait_for_count(int host, const std::string &name, long count)
{
    return wait_until([&] { return counted(host, name) >= count; }, 2s);
}

Instance camera_on_host(int host, const char *name)
{
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, name, "rtsp:///live", "http://:80/"};
    Instance instance;
    testnet::run_on_host(host, [&] { instance.reset(obx_discovery_new(camera, nullptr, nullptr)); });
    return instance;
}

// A broadcast of another protocol (the discard port) from host 4.
void broadcast_other_from_host4()
{
    int fd = testnet::broadcast_socket_on_host(4, 0);
    testnet::broadcast_to_port(fd, 9, "x");
    close(fd);
}

TEST(Routed, CamerasBeyondTheRouterAreFoundThroughTheRelayEachDatagramOnce)
{
    for (int host : counted_hosts)
        count_datagrams(host);
    const std::string early_address = testnet::host_address(4);
    Instance early = camera_on_host(4, "early");
    ASSERT_TRUE(wait_for_count(4, "sent", 1)); // its start-up presence; the repeats come later
    long sent_before_relay = counted(4, "sent");
    EXPECT_EQ(counted(1, counter_name(4)), 0) << "the router itself forwards no broadcast";

    auto relay = testnet::start_relay();
    Reports reports;
    Instance tool(obx_discovery_new(probe_details(), Reports::callback, &reports));
    auto found = reports.wait_for(early_address, 2s);
    ASSERT_TRUE(found) << "a camera running before the tool answers its probe";
    EXPECT_EQ(found->name, "early");
    EXPECT_EQ(found->rtsp, "rtsp://" + early_address + "/live");
    EXPECT_EQ(found->http, "http://" + early_address + ":80/");

    Instance late = camera_on_host(5, "late");
    EXPECT_TRUE(reports.wait_for(testnet::host_address(5), 2s)) << "its start-up presence";

    tool.reset();
    early.reset();
    late.reset();
    EXPECT_EQ(reports.count(early_address), 1u);

    // No loop and no second copy: each datagram reaches each host once,
    // its sender included.
    std::map<int, long> sent;
    for (int host : counted_hosts)
        sent[host] = counted(host, "sent");
    auto expected = [&](int sender, int receiver) {
        return sender == 4 && receiver == 1 ? sent[sender] - sent_before_relay : sent[sender];
    };
    auto all_arrived = [&] {
        for (int sender : counted_hosts)
            for (int receiver : counted_hosts)
                if (counted(receiver, counter_name(sender)) < expected(sender, receiver))
                    return false;
        return true;
    };
    EXPECT_TRUE(wait_until(all_arrived, 1s)) << "the last datagrams to arrive";
    for (int sender : counted_hosts) {
        EXPECT_GT(sent[sender], 0) << "host " << sender;
        for (int receiver : counted_hosts)
            EXPECT_EQ(counted(receiver, counter_name(sender)), expected(sender, receiver))
                << "from host " << sender << " to host " << receiver;
    }
}

TEST(Routed, RelayLimitedToDiscoveryByTheProjectsRules)
{
    count_datagrams(1);
    auto relay = testnet::start_relay();
    broadcast_other_from_host4();
    ASSERT_TRUE(wait_for_count(1, "other", 1)) << "bcrelay relays every UDP broadcast";

    std::string router_camera_side = std::regex_replace(testnet::host_address(4),
                                                        std::regex("[0-9]+$"), "2");
    testnet::nft_on_host(2, {"-D", "camera_side=obx1", "-D", "camera_side_address=" +
                             router_camera_side, "-D", "office_side=obx0", "-D",
                             "office_side_address=" + testnet::host_address(2), "-f",
                             OBX_RELAY_RULES});
    broadcast_other_from_host4();
    Instance camera = camera_on_host(4, "cam");
    ASSERT_TRUE(wait_for_count(1, counter_name(4), 1)) << "discovery still crosses";
    EXPECT_EQ(counted(1, "other"), 1);
}

} // namespace
