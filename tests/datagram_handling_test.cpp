// SPDX-License-Identifier: MIT
// Every datagram of the table, handed straight to the listener's handling of
// one received datagram: no sockets, so no network.
#include "listener_cases.h"
#include "obx_discovery/instance.h"
#include "support/capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

namespace {

class DatagramHandling : public testing::TestWithParam<ListenerCase> {};

TEST_P(DatagramHandling, HandlesDatagram)
{
    const ListenerCase &c = GetParam();
    const std::string sender = "192.0.2.55";
    Reports reports;
    ObxDiscovery self;
    self.callback = Reports::callback;
    self.callback_data = &reports;
    OutputCapture errors(STDERR_FILENO);

    // As the listener reads it: at most a buffer's worth.
    size_t length = std::min(c.payload.size(), RECEIVE_BUFFER_SIZE);
    handle_datagram(self, c.payload.data(), length, sender.c_str());
    expect_handled(c, errors.text(), reports, sender);
}

// The listener never hands over an empty datagram: that case runs through
// sockets only.
std::vector<ListenerCase> all_but_empty()
{
    std::vector<ListenerCase> cases;
    for (const ListenerCase &c : listener_cases)
        if (!c.payload.empty())
            cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EachDatagram, DatagramHandling, testing::ValuesIn(all_but_empty()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
