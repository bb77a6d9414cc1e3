// SPDX-License-Identifier: MIT
// What the listener must make of each kind of datagram: the table that the
// tests run straight through the per-datagram handling, and in part through
// real sockets.
#ifndef TESTS_LISTENER_CASES_H
#define TESTS_LISTENER_CASES_H

#include "support/cases.h"
#include "support/peer.h"
#include "support/reports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace std::string_literals;
using cases::operator<<;

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

inline const std::string padded_head = R"({"version": 1, "type": "Probe", "name": ")";
inline const std::string padded_tail = R"("})";

// The name that makes a presence datagram exactly size bytes long.
inline std::string padding(size_t size)
{
    return std::string(size - padded_head.size() - padded_tail.size(), 'n');
}

inline std::string padded_presence(size_t size)
{
    return padded_head + padding(size) + padded_tail;
}

// A probe's presence with n members besides version and type, each a value.
inline std::string members_presence(int n)
{
    std::string text = R"({"version": 1, "type": "Probe")";
    for (int i = 0; i < n; ++i)
        text += ", \"m" + std::to_string(i) + "\": 0";
    return text + "}";
}

inline const ListenerCase listener_cases[] = {
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
     "Web UI URL is not string: {\"a\":1}\n", Outcome::DROPPED},
    {"TrailingComma", R"({"version": 1, "type": "Probe",})",
     "json parsing error: {\"version\": 1, \"type\": \"Probe\",}\n", Outcome::DROPPED},
    {"NotJson", "hello", "json parsing error: hello\n", Outcome::DROPPED},
    {"EmptyDatagram", "", "", Outcome::DROPPED},
    {"ProbeIsNeverReported", R"({"version": 1, "probe": {}, "type": "VideoTransmitter", "name": "x"})",
     "", Outcome::DROPPED},
    // Hostile input: dropped, and the listener carries on.
    {"NestingBeyondParserStack", std::string(1020, '['),
     "json parsing error: " + std::string(1020, '[') + "\n", Outcome::DROPPED},
    {"TopLevelArray", "[1]", "datagram is not an object: [1]\n", Outcome::DROPPED},
    {"TopLevelNumber", "7", "datagram is not an object: 7\n", Outcome::DROPPED},
    {"TopLevelString", "\"x\"", "datagram is not an object: \"x\"\n", Outcome::DROPPED},
    {"TopLevelBoolean", "true", "datagram is not an object: true\n", Outcome::DROPPED},
    {"LongerThanBuffer", padded_presence(1500),
     "json parsing error: " + padded_presence(1500).substr(0, 1024) + "\n", Outcome::DROPPED},
    {"FillsBufferExactly", padded_presence(1024), "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE,
     padding(1024)},
    {"TextEndsAtFirstNul", "{\"version\": 1, \"type\": \"Probe\"\0}"s,
     "json parsing error: {\"version\": 1, \"type\": \"Probe\"\n", Outcome::DROPPED},
    // A value is written compactly, without the comments the reader keeps.
    {"CommentInValueNotEchoed", "{\"version\": /*\x1b]0;owned\x07\x1b[2J\x1b[31m*/ \"1\"}",
     "protocol version is not integer: \"1\"\n", Outcome::DROPPED},
    {"CommentInArrayNotEchoed", "[1, /*\x1b[1mZ*/ 2]", "datagram is not an object: [1,2]\n",
     Outcome::DROPPED},
    // Beyond 16 deep or 64 values a datagram is not read: no shape of one
    // costs the reader much more than a valid one. Names, texts, comments and
    // what follows the value do not count.
    {"NestedBeyondTheLimit", "{\"version\":" + std::string(506, '[') + std::string(506, ']') + "}",
     "json parsing error: {\"version\":" + std::string(506, '[') + std::string(506, ']') + "}\n",
     Outcome::DROPPED},
    {"SixteenDeepRead", R"({"version": 1, "type": "Probe", "a": )" + std::string(15, '[') +
     std::string(15, ']') + "}", "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE},
    {"SeventeenDeepNotRead", R"({"version": 1, "type": "Probe", "a": )" + std::string(16, '[') +
     std::string(16, ']') + "}", "json parsing error: " R"({"version": 1, "type": "Probe", "a": )" +
     std::string(16, '[') + std::string(16, ']') + "}\n", Outcome::DROPPED},
    {"SixtyFourValuesRead", members_presence(61), "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE},
    {"SixtyFiveValuesNotRead", members_presence(62),
     "json parsing error: " + members_presence(62) + "\n", Outcome::DROPPED},
    {"BracketsInTextsAndCommentsNotCounted",
     R"({"version": 1, "type": "Probe", "name": "[[[[[[[[[[[[[[[[[[{\"{{{{" /* [[[[[[[[[[[[[[[[[[[[ */})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE, "[[[[[[[[[[[[[[[[[[{\"{{{{"},
    {"TextAfterTheValueNotCounted", R"({"version": 1, "type": "Probe"} )" + std::string(30, '['),
     "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE},
    {"ProbeWithNestedMembers", R"({"version":1,"probe":{"a":{}}})", "", Outcome::DROPPED},
    // The costliest shapes found for the reader, each as the limits make it.
    {"ArrayOf500Numbers", "[" + repeated("0,", 499) + "0]",
     "json parsing error: [" + repeated("0,", 499) + "0]\n", Outcome::DROPPED},
    {"TwoHundredMembers", "{" + repeated(R"("":0,)", 199) + R"("":0})",
     "json parsing error: {" + repeated(R"("":0,)", 199) + "\"\":0}\n", Outcome::DROPPED},
    {"OpenObjects", repeated(R"({"a":)", 204), "json parsing error: " + repeated(R"({"a":)", 204) + "\n",
     Outcome::DROPPED},
    {"LongEscapesRead", R"({"version":1,"type":"Probe","name":")" + repeated("\\u00e9", 160) + R"("})",
     "", Outcome::REPORTED, OBX_PEER_TYPE_PROBE, repeated("\xc3\xa9", 160)},
    {"ManyCommentsRead", R"({"version":1,"type":"Probe")" + repeated("/**/", 240) + "}", "",
     Outcome::REPORTED, OBX_PEER_TYPE_PROBE},
    {"JsonEscapesInValueKeptVisible", R"({"version": ["\u001b\n\\"]})",
     R"(protocol version is not integer: ["\\u001b\\n\\\\"])" "\n", Outcome::DROPPED},
    {"LongMessageShortened", std::string(1024, '\x01'),
     "json parsing error: " + [] {
         std::string escapes;
         for (int i = 0; i < 1015; ++i) // as many as fit a 4 KiB line with the notice
             escapes += "\\x01";
         return escapes;
     }() + " [shortened]\n",
     Outcome::DROPPED},
    // Text from the network never reaches the terminal raw, in any kind of
    // message: controls, Bidi_Control characters, line and paragraph
    // separators and bytes that are not UTF-8, by the rule; a joiner stays.
    {"HiddenControlsInPayloadEcho",
     "{\"version\": 1, \"name\": \"\xe2\x80\xae\xc2\x9b\xe2\x80\x8f\xe2\x80\x8d\"} /* \x07 */",
     "no peer type: {\"version\": 1, \"name\": \"\\u202e\\u009b\\u200f\xe2\x80\x8d\"} /* \\x07 */\n",
     Outcome::REPORTED, OBX_PEER_TYPE_UNKNOWN, "\xe2\x80\xae\xc2\x9b\xe2\x80\x8f\xe2\x80\x8d"},
    {"HiddenControlsInTypeString",
     "{\"version\": 1, \"type\": \"\\u001b[2J\\n\xc2\x9b" "2J\xe2\x81\xa6\xff a\xd8\x9c" "b\xe2\x80\x8e"
     "c\xe2\x80\x8f" "d\xe2\x80\xa8" "e\xe2\x80\xa9" "f\"}",
     "unknown peer type: \\x1b[2J\\n\\u009b2J\\u2066\\xff a\\u061cb\\u200ec\\u200fd\\u2028e\\u2029f\n",
     Outcome::REPORTED},
    {"HiddenControlsInValue",
     "{\"version\": 1, \"type\": [\"\xc2\x85\xe2\x80\xaa\xe2\x80\xa8\"]}",
     "peer type is not string: [\"\\u0085\\u202a\\u2028\"]\n", Outcome::REPORTED},
    {"HiddenControlsInNameValue",
     "{\"version\": 1, \"name\": {\"\xe2\x80\xae\xe2\x80\x8e\": 1}}",
     "no peer type: {\"version\": 1, \"name\": {\"\\u202e\\u200e\": 1}}\n"
     "device name is not string: {\"\\u202e\\u200e\":1}\n",
     Outcome::DROPPED},
    {"HiddenControlsInUnparsableText",
     "\x1b[31mred\r\n192.0.2.66 Fake\tx\x7f\xc2\x9b" "31m\xe2\x80\xae\xe2\x80\xa9\xfe",
     "json parsing error: \\x1b[31mred\\x0d\\n192.0.2.66 Fake\\tx\\x7f\\u009b31m\\u202e\\u2029\\xfe\n",
     Outcome::DROPPED},
    {"InvalidUtf8InVersion", "{\"version\": \"\xff\xc0\xaf\"}",
     "protocol version is not integer: \"\\xff\\xc0\\xaf\"\n", Outcome::DROPPED},
};

inline std::optional<std::string> expected_text(const std::optional<std::string> &text,
                                                const std::string &sender)
{
    return text ? std::optional(cases::with_address(*text, sender)) : std::nullopt;
}

// Checks what handling c's datagram from sender left: the messages on
// standard error, and the report or its absence.
inline void expect_handled(const ListenerCase &c, const std::string &errors, Reports &reports,
                           const std::string &sender)
{
    EXPECT_EQ(errors, c.errors);
    if (c.outcome == Outcome::DROPPED) {
        EXPECT_EQ(reports.count(sender), 0u);
        return;
    }
    EXPECT_EQ(reports.count(sender), 1u);
    auto report = reports.wait_for(sender, std::chrono::milliseconds(0));
    ASSERT_TRUE(report);
    EXPECT_EQ(report->type, c.type);
    EXPECT_EQ(report->name, expected_text(c.device_name, sender));
    EXPECT_EQ(report->rtsp, expected_text(c.rtsp, sender));
    EXPECT_EQ(report->http, expected_text(c.http, sender));
}

// The cases whose names are in names, in table order.
inline std::vector<ListenerCase> cases_named(const std::vector<std::string> &names)
{
    std::vector<ListenerCase> chosen;
    for (const ListenerCase &c : listener_cases)
        if (std::find(names.begin(), names.end(), c.name) != names.end())
            chosen.push_back(c);
    return chosen;
}

#endif
