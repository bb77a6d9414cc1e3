// SPDX-License-Identifier: MIT
// The isolated virtual LAN that tests/testnet.sh builds, seen from a test.
#ifndef TESTS_SUPPORT_TESTNET_H
#define TESTS_SUPPORT_TESTNET_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class Process;

namespace testnet {

// The port every discovery program uses; written here once for the tests,
// the simulator and the benchmark, apart from the library's own.
constexpr unsigned short DISCOVERY_PORT = 13702;

// Ends the process unless it runs on the isolated test network: only lo and
// the runner's obx* links, with only the runner's test addresses.
void require_isolated_network();

// Address of host n (1-based); the test process runs on host 1.
std::string host_address(int host);

// The id of a process in host n's network namespace, as nsenter -t takes it.
std::string host_pid(int host);

// How many hosts the network has.
int host_count();

// The n-th secondary address (0-based) of the last host.
std::string pool_address(int index);

// The IPv4 address steps after address.
std::string address_after(const std::string &address, uint32_t steps);

// Runs work on a thread inside host n's network namespace. Sockets and
// threads created there belong to that host for good.
void run_on_host(int host, const std::function<void()> &work);

// Runs nft with args in host n's network namespace, to drop or count some
// of its traffic; returns what nft printed, throws if it fails.
std::string nft_on_host(int host, const std::vector<std::string> &args);

// A UDP socket of host n that may broadcast, bound to port (0: any); the
// caller closes it.
int broadcast_socket_on_host(int host, unsigned short port);

// Broadcasts text from fd to port, for other protocols than discovery.
void broadcast_to_port(int fd, unsigned short port, std::string_view text);

// Starts the broadcast relay on the router of a network built with
// --routed (host 2) as contrib/ombrix-discovery-relay.service runs it, the
// cameras' side on obx1, and returns once it relays. It stops with the
// returned process.
std::unique_ptr<Process> start_relay();

} // namespace testnet

#endif
