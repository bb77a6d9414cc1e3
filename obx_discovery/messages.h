// Diagnostics: each message is one line, written whole and flushed, so that
// the lines of several threads and instances never mix.
#ifndef OBX_DISCOVERY_MESSAGES_H
#define OBX_DISCOVERY_MESSAGES_H

#include <json/value.h>

#include <string>
#include <string_view>

struct ObxDiscovery;

// Writes text and a line feed to standard error.
void report_error(const std::string &text);

// Writes text and a line feed to standard output if self is verbose.
void trace(const ObxDiscovery &self, const std::string &text);

enum class Layout { ESCAPE_ALL, KEEP_LINES };

// Text from the network made safe for a terminal: control bytes become
// escapes like \x1b. KEEP_LINES leaves line feeds and tabs as they are.
std::string printable(std::string_view text, Layout layout);

// A JSON value as jsoncpp's stream operator writes it (already escaped).
std::string describe(const Json::Value &value);

#endif
