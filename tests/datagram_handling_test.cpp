// SPDX-License-Identifier: MIT
// What needs no network: every datagram of the table read by the protocol's
// steps, the set of reported addresses and the throttle on messages.
#include "listener_cases.h"
#include "obx_discovery/address_set.h"
#include "obx_discovery/diagnostics.h"
#include "obx_discovery/peer_text.h"
#include "obx_discovery/protocol.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

class DatagramHandling : public testing::TestWithParam<ListenerCase> {};

// The listener's steps for a datagram from a sender not yet reported.
TEST_P(DatagramHandling, HandlesDatagram)
{
    const ListenerCase &c = GetParam();
    const std::string sender = "192.0.2.55";
    Reports reports;
    // As the listener reads it: at most a buffer's worth.
    std::string_view payload =
        payload_text(c.payload.data(), std::min(c.payload.size(), RECEIVE_BUFFER_SIZE));
    Diagnostics diagnostics;
    Json::Value root;
    if (decode_header(payload, root, diagnostics) == DatagramKind::PRESENCE) {
        if (auto peer = decode_peer(root, payload, sender.c_str(), diagnostics))
            Reports::callback(sender.c_str(), peer->details(), &reports);
    }
    std::string errors;
    for (const Diagnostic &diagnostic : diagnostics) {
        std::string line = diagnostic.line();
        EXPECT_LE(line.size() + 1, ESCAPED_LINE_LIMIT);
        errors += line + "\n";
    }
    expect_handled(c, errors, reports, sender);
}

INSTANTIATE_TEST_SUITE_P(EachDatagram, DatagramHandling, testing::ValuesIn(listener_cases),
                         [](const auto &info) { return std::string(info.param.name); });

in_addr address_of(uint32_t host_order)
{
    return in_addr{htonl(host_order)};
}

// Forged senders: every address once, each found again, none invented, and
// the memory per address bounded.
TEST(AddressSet, KeepsEveryAddressInLittleMemory)
{
    AddressSet set;
    const uint32_t count = 100000;
    // A stride that spreads the addresses over the whole space, 0.0.0.0 first.
    auto nth = [](uint32_t i) { return address_of(i * 2654435761u); };
    for (uint32_t i = 0; i < count; ++i)
        ASSERT_TRUE(set.insert(nth(i))) << i;
    EXPECT_EQ(set.size(), count);
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(set.contains(nth(i))) << i;
        ASSERT_FALSE(set.insert(nth(i))) << i;
    }
    for (uint32_t i = count; i < count + 1000; ++i)
        EXPECT_FALSE(set.contains(nth(i))) << i;
    EXPECT_EQ(set.size(), count);
    EXPECT_LE(set.bytes(), count * 16);
}

// A burst is written, the rest counted and told in one line: with the next
// message once there is room again, or once the messages have paused.
TEST(ErrorLog, ThrottlesAndCountsWhatItHoldsBack)
{
    OutputCapture errors(STDERR_FILENO);
    ErrorLog log;
    for (int i = 0; i < 200; ++i)
        log.write("bad datagram");
    EXPECT_EQ(lines_starting(errors.text(), "bad datagram\n"), 50u);
    EXPECT_GT(log.milliseconds_to_report(), 0);
    log.report_suppressed(); // not yet: the flood may go on
    EXPECT_EQ(lines_starting(errors.text(), "150 more messages suppressed\n"), 0u);

    std::this_thread::sleep_for(ErrorLog::QUIET);
    log.write("next");
    EXPECT_NE(errors.text().find("\n150 more messages suppressed\nnext\n"), std::string::npos)
        << errors.text();

    for (int i = 0; i < 100; ++i)
        log.write("again");
    std::this_thread::sleep_for(std::chrono::milliseconds(log.milliseconds_to_report()));
    log.report_suppressed();
    EXPECT_EQ(log.milliseconds_to_report(), -1);
    std::string text = errors.text();
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1),
              std::to_string(100 - lines_starting(text, "again\n")) + " more messages suppressed\n");
}

} // namespace
