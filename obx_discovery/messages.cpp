// SPDX-License-Identifier: MIT
#include "messages.h"

#include <json/writer.h>

#include <cstdio>
#include <sstream>

namespace {

void write_line(FILE *stream, std::string_view text, std::string_view detail = {})
{
    flockfile(stream);
    fwrite_unlocked(text.data(), 1, text.size(), stream);
    fwrite_unlocked(detail.data(), 1, detail.size(), stream);
    fputc_unlocked('\n', stream);
    fflush_unlocked(stream);
    funlockfile(stream);
}

} // namespace

void report_error(std::string_view text, std::string_view detail)
{
    write_line(stderr, text, detail);
}

void trace(bool verbose, std::string_view text, std::string_view detail)
{
    if (verbose)
        write_line(stdout, text, detail);
}

std::string printable(std::string_view text, Layout layout)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool control = byte < 0x20 || byte == 0x7f;
        bool layout_byte = c == '\n' || c == '\t';
        if (!control || (layout == Layout::KEEP_LINES && layout_byte)) {
            out += c;
            continue;
        }
        static const char hex[] = "0123456789abcdef";
        out += "\\x";
        out += hex[byte >> 4];
        out += hex[byte & 0xf];
    }
    return out;
}

std::string describe(const Json::Value &value)
{
    std::ostringstream out;
    out << value;
    return out.str();
}
