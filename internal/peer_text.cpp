// SPDX-License-Identifier: MIT
#include <obx_internal/peer_text.h>

namespace {

constexpr char HEX[] = "0123456789abcdef";

// \uNNNN for a character of the Basic Multilingual Plane.
std::string_view unicode_escape(char32_t c, char (&escape)[7])
{
    escape[0] = '\\', escape[1] = 'u';
    for (int i = 0; i < 4; ++i)
        escape[2 + i] = HEX[(c >> (12 - 4 * i)) & 0xf];
    return {escape, 6};
}

// The length of the valid UTF-8 sequence at the start of text and its code
// point, or 0 when the first byte does not start one: overlong forms,
// surrogates and values past U+10FFFF are not valid.
size_t decode_utf8(std::string_view text, char32_t &code_point)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(0);
    size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        code_point = lead;
        return 1;
    } else if ((lead & 0xe0) == 0xc0) {
        length = 2, minimum = 0x80, code_point = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, minimum = 0x800, code_point = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, minimum = 0x10000, code_point = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80)
            return 0;
        code_point = (code_point << 6) | (byte(i) & 0x3f);
    }
    bool surrogate = code_point >= 0xd800 && code_point <= 0xdfff;
    if (code_point < minimum || code_point > 0x10ffff || surrogate)
        return 0;
    return length;
}

// Characters that would let a peer drive the terminal, rearrange a line or
// start a new one unseen: C1 controls (U+009B is a one-character CSI);
// Unicode's Bidi_Control property, whose marks, embeddings, overrides and
// isolates reorder the text around them; and the line and paragraph
// separators (Zl, Zp), at which log viewers and widgets break lines. Other
// format characters stay: emoji need the zero-width joiner, Persian names
// the zero-width non-joiner.
bool is_hidden_control(char32_t c)
{
    return (c >= 0x80 && c <= 0x9f) || is_bidi_control(c) || c == 0x2028 || c == 0x2029;
}

// The escape for one character of length bytes at text, or the character
// itself.
std::string_view escape_for(std::string_view text, char32_t c, size_t length, char (&escape)[7])
{
    if (length == 0) {
        auto byte = static_cast<unsigned char>(text[0]);
        escape[0] = '\\', escape[1] = 'x', escape[2] = HEX[byte >> 4], escape[3] = HEX[byte & 0xf];
        return {escape, 4};
    }
    if (c == '\n')
        return "\\n";
    if (c == '\t')
        return "\\t";
    if (c == '\\')
        return "\\\\";
    if (c < 0x20 || c == 0x7f) {
        escape[0] = '\\', escape[1] = 'x', escape[2] = HEX[c >> 4], escape[3] = HEX[c & 0xf];
        return {escape, 4};
    }
    if (is_hidden_control(c))
        return unicode_escape(c, escape);
    return text.substr(0, length);
}

} // namespace

bool is_bidi_control(char32_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

void append_bidi_controls_escaped(std::string &out, std::string_view text)
{
    while (!text.empty()) {
        char32_t c = 0;
        size_t length = decode_utf8(text, c);
        char escape[7];
        out += length > 0 && is_bidi_control(c) ? unicode_escape(c, escape)
                                                : text.substr(0, length == 0 ? 1 : length);
        text.remove_prefix(length == 0 ? 1 : length);
    }
}

bool append_escaped(std::string &out, std::string_view text, size_t limit)
{
    while (!text.empty()) {
        char32_t c = 0;
        size_t length = decode_utf8(text, c);
        char escape[7];
        std::string_view shown = escape_for(text, c, length, escape);
        if (shown.size() > limit || out.size() > limit - shown.size())
            return false;
        out += shown;
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return true;
}

std::string escaped_line(std::string_view text, std::string_view peer_text)
{
    const size_t room = ESCAPED_LINE_LIMIT - 1; // the line feed
    std::string line(text.substr(0, room - ESCAPED_LINE_SHORTENED.size()));
    const size_t own = line.size();
    if (append_escaped(line, peer_text, room))
        return line;
    // Again with room for saying so; never cut inside an escape.
    line.resize(own);
    append_escaped(line, peer_text, room - ESCAPED_LINE_SHORTENED.size());
    line += ESCAPED_LINE_SHORTENED;
    return line;
}
