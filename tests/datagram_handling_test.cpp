// SPDX-License-Identifier: MIT
// What needs no network: the rule for showing a peer's text, the datagrams
// an instance sends, every datagram of the table read by the protocol's
// steps, the set of reported addresses and the throttle on messages.
#include "listener_cases.h"
#include "obx_discovery/address_set.h"
#include "obx_discovery/diagnostics.h"
#include "obx_discovery/protocol.h"
#include "support/capture.h"

#include <obx_internal/peer_text.h>

#include <glib.h>
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

using cases::operator<<;

struct EscapeCase {
    const char *name;
    const char *text; // from the network
    const char *shown;
};

const EscapeCase escape_cases[] = {
    {"PlainAsciiUnchanged", "Lobby cam #2 (ok/)", "Lobby cam #2 (ok/)"},
    {"BackslashDoubled", "C:\\x41\\", "C:\\\\x41\\\\"},
    {"NonAsciiUnchanged", "Cam\xc3\xa9ra \xe5\x85\xa5\xe5\x8f\xa3 \xf0\x9f\x93\xb7",
     "Cam\xc3\xa9ra \xe5\x85\xa5\xe5\x8f\xa3 \xf0\x9f\x93\xb7"},
    {"LineFeedAndTabAsLetters", "a\tb\nc", "a\\tb\\nc"},
    {"OtherC0AndDeleteAsBytes", "\r\x1b[2J\x7f\x01", "\\x0d\\x1b[2J\\x7f\\x01"},
    {"InvalidBytesAsBytes", "bad\xff\xfe end", "bad\\xff\\xfe end"},
    {"LoneContinuationByte", "x\x80y", "x\\x80y"},
    {"TruncatedSequenceAtEnd", "cut\xe2\x80", "cut\\xe2\\x80"},
    {"OverlongEncoding", "\xc0\xaf" "etc", "\\xc0\\xaf" "etc"},
    {"EncodedSurrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
    {"C1ControlsAsCharacters", "\xc2\x80" "csi\xc2\x9b" "2J\xc2\x9f",
     "\\u0080csi\\u009b2J\\u009f"},
    {"FirstAfterC1Unchanged", "nbsp\xc2\xa0", "nbsp\xc2\xa0"},
    {"BidiOverridesAsCharacters", "\xe2\x80\xaa" "a\xe2\x80\xae" "evil\xe2\x80\xac",
     "\\u202aa\\u202eevil\\u202c"},
    {"BidiIsolatesAsCharacters", "\xe2\x81\xa6x\xe2\x81\xa9", "\\u2066x\\u2069"},
    {"BidiMarksAsCharacters", "a\xd8\x9c" "b\xe2\x80\x8e" "c\xe2\x80\x8f" "d",
     "a\\u061cb\\u200ec\\u200fd"},
    {"LineAndParagraphSeparatorsAsCharacters", "d\xe2\x80\xa8" "e\xe2\x80\xa9" "f",
     "d\\u2028e\\u2029f"},
    // Joiners, a zero-width space, an Arabic semicolon, a hyphenation point,
    // a narrow no-break space and two format characters beside the isolates.
    {"OtherFormatCharactersAndNeighboursUnchanged",
     "\xe2\x80\x8d\xe2\x80\x8c\xe2\x80\x8b\xd8\x9b\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa",
     "\xe2\x80\x8d\xe2\x80\x8c\xe2\x80\x8b\xd8\x9b\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
};

class PeerText : public testing::TestWithParam<EscapeCase> {};

// The one rule; each place that shows a peer's text has a row of its own
// in its table, end to end.
TEST_P(PeerText, ShownSafely)
{
    const EscapeCase &c = GetParam();
    std::string shown;
    EXPECT_TRUE(append_escaped(shown, c.text));
    EXPECT_EQ(shown, c.shown);
    EXPECT_TRUE(g_utf8_validate(shown.data(), static_cast<gssize>(shown.size()), nullptr));
}

INSTANTIATE_TEST_SUITE_P(EachText, PeerText, testing::ValuesIn(escape_cases), cases::name);

struct WireCase {
    const char *name;
    ObxPeerDetails details;
    const char *presence;
    const char *probe; // nullptr: not checked
};

const WireCase wire_cases[] = {
    {"UnknownKindNoName", {OBX_PEER_TYPE_UNKNOWN, nullptr, nullptr, nullptr},
     "{\n\t\"version\" : 1\n}", nullptr},
    {"DiscoveryTool", {OBX_PEER_TYPE_PROBE, nullptr, nullptr, nullptr},
     "{\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}",
     "{\n\t\"probe\" : {},\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}"},
    {"CameraWithEverything",
     {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "Cam\xc3\xa9ra entr\xc3\xa9" "e", "rtsp:///live",
      "http://:80/"},
     "{\n\t\"http\" : \"http://:80/\",\n\t\"name\" : \"Cam\xc3\xa9ra entr\xc3\xa9" "e\",\n"
     "\t\"rtsp\" : \"rtsp:///live\",\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}",
     nullptr},
    {"CameraProbingWithEverything",
     {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "cam", "rtsp://h/s", "http://h/"},
     "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"rtsp\" : \"rtsp://h/s\",\n"
     "\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}",
     "{\n\t\"http\" : \"http://h/\",\n\t\"name\" : \"cam\",\n\t\"probe\" : {},\n"
     "\t\"rtsp\" : \"rtsp://h/s\",\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}"},
    {"EmptyTextsCountAsAbsent", {OBX_PEER_TYPE_VIDEO_TRANSMITTER, "", "", ""},
     "{\n\t\"type\" : \"VideoTransmitter\",\n\t\"version\" : 1\n}", nullptr},
    {"UrlsOnlyForCameras", {OBX_PEER_TYPE_PROBE, "tool", "rtsp://h/s", "http://h/"},
     "{\n\t\"name\" : \"tool\",\n\t\"type\" : \"Probe\",\n\t\"version\" : 1\n}", nullptr},
    {"UnknownKindKeepsItsName", {static_cast<ObxPeerType>(7), "odd", "rtsp://h/s", nullptr},
     "{\n\t\"name\" : \"odd\",\n\t\"version\" : 1\n}", nullptr},
    {"JsonEscapesInName", {OBX_PEER_TYPE_UNKNOWN, "say \"hi\"\\\t\x01", nullptr, nullptr},
     "{\n\t\"name\" : \"say \\\"hi\\\"\\\\\\t\\u0001\",\n\t\"version\" : 1\n}", nullptr},
};


class Encoder : public testing::TestWithParam<WireCase> {};

// The texts an instance broadcasts for its details, as the socket test and
// the lifecycle's trace see them for one kind each.
TEST_P(Encoder, WritesEachKindOfDatagram)
{
    const WireCase &c = GetParam();
    auto text = [](const char *given) { return std::string(given ? given : ""); };
    auto encode = [&](DatagramType type) {
        return encode_datagram(type, c.details.type, text(c.details.device_name),
                               text(c.details.rtsp_url), text(c.details.http_url));
    };
    EXPECT_EQ(encode(DatagramType::PRESENCE), c.presence);
    if (c.probe) {
        EXPECT_EQ(encode(DatagramType::PROBE), c.probe);
    }
}

INSTANTIATE_TEST_SUITE_P(EachKind, Encoder, testing::ValuesIn(wire_cases), cases::name);

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
                         cases::name);

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
