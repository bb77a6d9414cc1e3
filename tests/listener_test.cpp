// SPDX-License-Identifier: MIT
// The listener on real sockets: a few datagrams of the table end to end,
// repeats, probes and floods.
#include "listener_cases.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/reports.h"
#include "support/testnet.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

namespace {

// Sends each payload from one sender, then a marker, and waits for the
// marker: the listener handles datagrams in order, so once the marker is
// reported, those before it have been handled.
void send_then_sync(Reports &reports, const std::vector<std::string> &payloads)
{
    Peer sender = Peer::sending_from(testnet::pool_address(1));
    for (const std::string &payload : payloads)
        sender.broadcast(payload);
    Peer::sending_from(testnet::pool_address(2)).broadcast(camera_presence("marker"));
    ASSERT_TRUE(reports.wait_for(testnet::pool_address(2), 2s)) << "the listener stopped working";
}

class Listener : public testing::TestWithParam<ListenerCase> {};

TEST_P(Listener, HandlesDatagram)
{
    const ListenerCase &c = GetParam();
    Reports reports;
    OutputCapture errors(STDERR_FILENO);
    Instance instance(obx_discovery_new(probe_details(), Reports::callback, &reports));
    send_then_sync(reports, {c.payload});
    instance.reset();
    expect_handled(c, errors.text(), reports, testnet::pool_address(1));
}

// What the socket itself decides: datagrams it truncates, fills or delivers
// empty, and a common one end to end.
INSTANTIATE_TEST_SUITE_P(ThroughSockets, Listener,
                         testing::ValuesIn(cases_named({"CameraUrlsCompleted", "EmptyDatagram",
                                                        "LongerThanBuffer", "FillsBufferExactly",
                                                        "TextEndsAtFirstNul"})),
                         cases::name);

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
    EXPECT_EQ(lines_starting(output.text(), "already reported: " + sender + "\n"), 2u);
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
        // Its start-up probes may repeat meanwhile; they are not answers.
        while (auto datagram = listener.receive(500ms))
            if (datagram->source == testnet::host_address(1) && !datagram->is_probe())
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
                                 ": \\x1b]0;owned\\x07{\\n\\t}\n"),
              std::string::npos)
        << output.text();
}

} // namespace
