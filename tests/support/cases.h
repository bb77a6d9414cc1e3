// SPDX-License-Identifier: MIT
// What the tables of cases share: each case has a name, which the test
// output shows instead of the case's bytes and which names its test; and a
// wait for what a test waits for.
#ifndef TESTS_SUPPORT_CASES_H
#define TESTS_SUPPORT_CASES_H

#include <chrono>
#include <ostream>
#include <string>
#include <thread>

namespace cases {

// Prints a case as its name, for the cases of a namespace that says
// `using cases::operator<<;`.
template <typename Case>
auto operator<<(std::ostream &out, const Case &c) -> decltype(out << c.name)
{
    return out << c.name;
}

// The test of each case named after it, for INSTANTIATE_TEST_SUITE_P.
inline constexpr auto name = [](const auto &info) { return std::string(info.param.name); };

// text with each "@" replaced by address, for what names a datagram's sender.
inline std::string with_address(std::string text, const std::string &address)
{
    for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1))
        text.replace(at, 1, address);
    return text;
}

} // namespace cases

// Whether condition() holds within timeout; asked every few milliseconds.
template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

#endif
