// SPDX-License-Identifier: MIT
// Diagnostics: each message is one line, written whole and flushed, so that
// the lines of several threads and instances never mix.
#ifndef OBX_DISCOVERY_MESSAGES_H
#define OBX_DISCOVERY_MESSAGES_H

#include <json/value.h>

#include <string>
#include <string_view>

// Writes text, detail and a line feed to standard error. Allocates nothing,
// so that it can report a failed allocation.
void report_error(std::string_view text, std::string_view detail = {});

// Writes text, detail and a line feed to standard output if verbose.
void trace(bool verbose, std::string_view text, std::string_view detail = {});

enum class Layout { ESCAPE_ALL, KEEP_LINES };

// Text from the network made safe for a terminal: control bytes become
// escapes like \x1b. KEEP_LINES leaves line feeds and tabs as they are.
std::string printable(std::string_view text, Layout layout);

// A JSON value as jsoncpp's stream operator writes it (already escaped).
std::string describe(const Json::Value &value);

#endif
