// SPDX-License-Identifier: MIT
// The input of the text fuzz targets: up to three texts as a peer may send
// them, separated by NUL bytes: the name, the web interface and the video
// stream. A text the input does not reach is missing, as when a peer leaves
// its member out.
#ifndef FUZZ_PEER_TEXTS_H
#define FUZZ_PEER_TEXTS_H

#include <obx_discovery/discovery.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PeerTexts {
    std::vector<std::string> texts; // at most three

    PeerTexts(const uint8_t *data, size_t size)
    {
        const char *at = reinterpret_cast<const char *>(data);
        const char *end = at + size;
        while (texts.size() < 3) {
            const char *stop = at;
            while (stop < end && *stop != '\0')
                ++stop;
            texts.emplace_back(at, stop);
            if (stop == end)
                break;
            at = stop + 1;
        }
    }

    const char *text(size_t index) const
    {
        return index < texts.size() ? texts[index].c_str() : nullptr;
    }

    ObxPeerDetails details() const
    {
        return {OBX_PEER_TYPE_VIDEO_TRANSMITTER, text(0), text(2), text(1)};
    }
};

#endif
