// SPDX-License-Identifier: MIT
#include "testnet.h"

#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace testnet {
namespace {

std::vector<std::string> env_words(const char *name)
{
    const char *value = getenv(name);
    std::vector<std::string> words;
    std::istringstream in(value ? value : "");
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool in_network(in_addr_t address, const char *network, int prefix)
{
    in_addr net{};
    inet_pton(AF_INET, network, &net);
    uint32_t mask = prefix == 0 ? 0 : htonl(~0u << (32 - prefix));
    return (address & mask) == (net.s_addr & mask);
}

bool test_address(const sockaddr *address)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return true; // IPv6 link-local and the like carry no IPv4 broadcast
    in_addr_t a = reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr;
    return in_network(a, "127.0.0.0", 8) || in_network(a, "192.0.2.0", 24) ||
           in_network(a, "198.51.100.0", 24) ||
           in_network(a, "198.18.0.0", 15);
}

bool test_interface(const ifaddrs *entry)
{
    if (strcmp(entry->ifa_name, "lo") == 0)
        return true;
    return strncmp(entry->ifa_name, "obx", 3) == 0 && test_address(entry->ifa_addr);
}

[[noreturn]] void refuse(const std::string &why)
{
    fprintf(stderr,
            "refusing to run: %s.\nThis test broadcasts datagrams; run it through "
            "tests/testnet.sh, which builds an isolated network for it.\n",
            why.c_str());
    exit(1);
}

} // namespace

void require_isolated_network()
{
    if (getenv("OBX_TESTNET") == nullptr)
        refuse("OBX_TESTNET is not set");
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) < 0)
        refuse("cannot list network interfaces");
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        if (!test_interface(entry)) {
            std::string name = entry->ifa_name;
            freeifaddrs(list);
            refuse("interface " + name + " is not part of the test network");
        }
    }
    freeifaddrs(list);
}

std::string host_address(int host)
{
    return env_words("OBX_TESTNET_ADDRS").at(host - 1);
}

std::string host_pid(int host)
{
    return env_words("OBX_TESTNET_HOSTS").at(host - 1);
}

int host_count()
{
    return static_cast<int>(env_words("OBX_TESTNET_HOSTS").size());
}

std::string pool_address(int index)
{
    std::vector<std::string> pool = env_words("OBX_TESTNET_POOL");
    if (index >= std::stoi(pool.at(1)))
        throw std::out_of_range("test network address pool too small");
    return address_after(pool.at(0), static_cast<uint32_t>(index));
}

std::string address_after(const std::string &address, uint32_t steps)
{
    in_addr a{};
    inet_pton(AF_INET, address.c_str(), &a);
    a.s_addr = htonl(ntohl(a.s_addr) + steps);
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, text, sizeof text);
}

void run_on_host(int host, const std::function<void()> &work)
{
    std::string path = "/proc/" + host_pid(host) + "/ns/net";
    std::string error;
    std::thread([&] {
        int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) < 0) {
            error = "cannot enter " + path + ": " + strerror(errno);
        } else {
            work();
        }
        if (ns >= 0)
            close(ns);
    }).join();
    if (!error.empty())
        throw std::runtime_error(error);
}

void nft_on_host(int host, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/usr/bin/nsenter", "-t", host_pid(host), "-n", "--",
                                     "/usr/sbin/nft"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process nft(argv);
    if (nft.wait_for_exit(std::chrono::seconds(5)) != 0)
        throw std::runtime_error("nft failed: " + nft.err());
}

} // namespace testnet
