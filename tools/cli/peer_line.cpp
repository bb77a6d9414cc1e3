// SPDX-License-Identifier: MIT
#include "peer_line.h"

#include <obx_internal/peer_text.h>

#include <string>

namespace {

void append_field(std::string &line, const char *text)
{
    if (text == nullptr)
        return;
    line += ' ';
    append_escaped(line, text);
}

} // namespace

gchar *peer_line_new(const char *address_string, ObxPeerDetails details)
{
    std::string line = address_string;
    append_field(line, details.device_name);
    append_field(line, details.http_url);
    append_field(line, details.rtsp_url);
    return g_strndup(line.data(), line.size());
}
