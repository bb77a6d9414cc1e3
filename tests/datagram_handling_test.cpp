// SPDX-License-Identifier: MIT
// What needs no network: every datagram of the table read by the protocol's
// steps, the set of reported addresses and the throttle on messages.
#include "listener_cases.h"
#include "obx_discovery/address_set.h"
#include "obx_discovery/diagnostics.h"
#include <obx_internal/peer_text.h>
#include "obx_discovery/protocol.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <set>
#include <sstream>
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

// The throttle's clock, moved by the tests alone.
std::atomic<ErrorLog::Clock::rep> fake_ticks{0};

ErrorLog::Clock::time_point fake_now()
{
    return ErrorLog::Clock::time_point(ErrorLog::Clock::duration(fake_ticks.load()));
}

void advance(ErrorLog::Clock::duration by)
{
    fake_ticks += by.count();
}

// A burst is written, then 20 a second; the rest counted and told in one
// line: with the next message once there is room again, or once the messages
// have paused.
TEST(ErrorLog, ThrottlesAndCountsWhatItHoldsBack)
{
    OutputCapture errors(STDERR_FILENO);
    ErrorLog log(fake_now);
    for (int i = 0; i < 200; ++i)
        log.write("bad datagram");
    EXPECT_EQ(lines_starting(errors.text(), "bad datagram\n"), 50u);
    EXPECT_EQ(log.milliseconds_to_report(), 1000);
    log.report_suppressed(); // not yet: the flood may go on
    EXPECT_EQ(lines_starting(errors.text(), "150 more messages suppressed\n"), 0u);

    advance(ErrorLog::QUIET);
    log.write("next");
    EXPECT_NE(errors.text().find("\n150 more messages suppressed\nnext\n"), std::string::npos)
        << errors.text();

    for (int i = 0; i < 100; ++i) {
        log.write("again");
        advance(std::chrono::milliseconds(10));
    }
    // The 18 left of the second's allowance, and 20 earned in that second.
    EXPECT_NEAR(static_cast<double>(lines_starting(errors.text(), "again\n")), 38, 1);
    advance(std::chrono::milliseconds(log.milliseconds_to_report()));
    log.report_suppressed();
    EXPECT_EQ(log.milliseconds_to_report(), -1);
    std::string text = errors.text();
    EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1),
              std::to_string(100 - lines_starting(text, "again\n")) + " more messages suppressed\n");
}

// Two instances' lines of many sizes on a terminal read in small bites,
// where a line often goes out in part: each is written whole or counted,
// never glued to another, cut, or mixed with one.
TEST(ErrorLog, LinesStayWholeOnATerminalReadInBites)
{
    StalledStandardError terminal(StalledStandardError::Kind::TERMINAL);
    const int per_log = 300;
    std::set<std::string> sent;
    auto line = [](char letter, int i) {
        return letter + std::to_string(i) + " " + std::string(100 + i * 37 % 2900, letter);
    };
    for (int i = 0; i < per_log; ++i)
        sent.insert({line('a', i), line('b', i)});

    std::atomic<bool> writing{true};
    std::string read;
    std::thread reader([&] {
        while (writing)
            read += terminal.read_for(std::chrono::milliseconds(20), 256);
        read += terminal.read_for(std::chrono::milliseconds(200));
    });
    ErrorLog first(fake_now), second(fake_now);
    auto write_lines = [&](ErrorLog &log, char letter) {
        for (int i = 0; i < per_log; ++i) {
            log.write(line(letter, i));
            advance(std::chrono::seconds(1)); // no throttle here
        }
    };
    std::thread a(write_lines, std::ref(first), 'a'), b(write_lines, std::ref(second), 'b');
    a.join();
    b.join();
    // The tails and the counts go out once there is room.
    for (int i = 0; i < 250 && (first.milliseconds_to_report() >= 0 ||
                                second.milliseconds_to_report() >= 0); ++i) {
        advance(std::chrono::seconds(2));
        first.report_suppressed();
        second.report_suppressed();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    writing = false;
    reader.join();

    EXPECT_EQ(read.back(), '\n') << "a tail never went out";
    std::istringstream lines(read);
    size_t whole = 0, counted = 0;
    std::smatch count;
    for (std::string text; std::getline(lines, text);) {
        if (std::regex_match(text, count, std::regex("([0-9]+) more messages suppressed")))
            counted += std::stoul(count[1]);
        else if (sent.count(text) == 1)
            ++whole;
        else
            ADD_FAILURE() << "not a whole line: " << text.substr(0, 80);
    }
    EXPECT_EQ(whole + counted, sent.size());
    EXPECT_GT(whole, 20u);
}

} // namespace
