// SPDX-License-Identifier: MIT
// Fuzz target: the desktop tool's preparation of a row's texts. Checks that
// each text is valid UTF-8, that a valid text is kept exactly and a missing
// one is empty, and that an invalid one keeps a replacement character where
// its bad bytes were.
#include "peer_texts.h"
#include "row_texts.h"

#include <glib.h>

#include <cstring>

namespace {

constexpr const char *ADDRESS = "192.0.2.9";

void check_text(const char *shown, const char *sent)
{
    if (!shown || !g_utf8_validate(shown, -1, nullptr))
        __builtin_trap();
    if (!sent) {
        if (*shown)
            __builtin_trap();
    } else if (g_utf8_validate(sent, -1, nullptr)) {
        if (strcmp(shown, sent) != 0)
            __builtin_trap();
    } else if (!strstr(shown, "\xef\xbf\xbd")) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PeerTexts sent(data, size);
    gchar *texts[NUM_COLS];
    row_texts_init(texts, ADDRESS, sent.details());
    check_text(texts[COL_NAME], sent.text(0));
    check_text(texts[COL_HTTP], sent.text(1));
    check_text(texts[COL_RTSP], sent.text(2));
    if (strcmp(texts[COL_ADDRESS], ADDRESS) != 0)
        __builtin_trap();
    row_texts_clear(texts);
    return 0;
}
