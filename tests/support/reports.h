// SPDX-License-Identifier: MIT
// Collects what an instance reports to its callback.
#ifndef TESTS_SUPPORT_REPORTS_H
#define TESTS_SUPPORT_REPORTS_H

#include <obx_discovery/discovery.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct Report {
    std::string address;
    ObxPeerType type;
    std::optional<std::string> name;
    std::optional<std::string> rtsp;
    std::optional<std::string> http;
};

class Reports {
public:
    // The callback to give obx_discovery_new, with this as user data.
    static void callback(const char *address, ObxPeerDetails details, void *user_data);

    std::optional<Report> wait_for(const std::string &address,
                                   std::chrono::milliseconds timeout);
    size_t count(const std::string &address);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Report> reports_;
};

struct InstanceDeleter {
    void operator()(ObxDiscovery *instance) const { obx_discovery_free(instance); }
};
using Instance = std::unique_ptr<ObxDiscovery, InstanceDeleter>;

// A discovery tool's own description: kind Probe, nothing else.
ObxPeerDetails probe_details();

#endif
