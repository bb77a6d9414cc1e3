// SPDX-License-Identifier: MIT
#include "reports.h"

#include <algorithm>

namespace {

std::optional<std::string> copy(const char *text)
{
    return text ? std::optional<std::string>(text) : std::nullopt;
}

} // namespace

void Reports::callback(const char *address, ObxPeerDetails details, void *user_data)
{
    auto *self = static_cast<Reports *>(user_data);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->reports_.push_back({address, details.type, copy(details.device_name),
                              copy(details.rtsp_url), copy(details.http_url)});
    self->changed_.notify_all();
}

std::optional<Report> Reports::wait_for(const std::string &address,
                                        std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto found = reports_.end();
    changed_.wait_for(lock, timeout, [&] {
        found = std::find_if(reports_.begin(), reports_.end(),
                             [&](const Report &r) { return r.address == address; });
        return found != reports_.end();
    });
    return found != reports_.end() ? std::optional<Report>(*found) : std::nullopt;
}

size_t Reports::count(const std::string &address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(
        reports_.begin(), reports_.end(), [&](const Report &r) { return r.address == address; }));
}

ObxPeerDetails probe_details()
{
    ObxPeerDetails details{};
    details.type = OBX_PEER_TYPE_PROBE;
    return details;
}
