// SPDX-License-Identifier: MIT
#include "testnet.h"

#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
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

std::string nft_on_host(int host, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"/usr/bin/nsenter", "-t", host_pid(host), "-n", "--",
                                     "/usr/sbin/nft"};
    argv.insert(argv.end(), args.begin(), args.end());
    Process nft(argv);
    if (nft.wait_for_exit(std::chrono::seconds(5)) != 0)
        throw std::runtime_error("nft failed: " + nft.err());
    return nft.out();
}

namespace {

// The unit's command, its interface variables replaced.
std::vector<std::string> relay_command(const std::map<std::string, std::string> &variables)
{
    std::ifstream unit(OBX_RELAY_UNIT);
    const std::string key = "ExecStart=";
    for (std::string line; std::getline(unit, line);) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        std::vector<std::string> argv;
        std::istringstream words(line.substr(key.size()));
        for (std::string word; words >> word;) {
            auto variable = variables.find(word);
            argv.push_back(variable != variables.end() ? variable->second : word);
        }
        return argv;
    }
    throw std::runtime_error("no ExecStart in " OBX_RELAY_UNIT);
}

} // namespace

int broadcast_socket_on_host(int host, unsigned short port)
{
    int fd = -1;
    run_on_host(host, [&] {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
            throw std::runtime_error(std::string("bind: ") + strerror(errno));
    });
    return fd;
}

void broadcast_to_port(int fd, unsigned short port, std::string_view text)
{
    sockaddr_in everyone{};
    everyone.sin_family = AF_INET;
    everyone.sin_port = htons(port);
    everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&everyone),
           sizeof everyone);
}

namespace {

// Whether a broadcast from the last host, on the far side, reaches host 1 on
// a port of its own within the timeout. bcrelay drops what comes before its
// loop starts, some time after its sockets are open.
bool broadcasts_cross(std::chrono::milliseconds timeout)
{
    constexpr unsigned short PORT = 9; // discard
    int receiver = broadcast_socket_on_host(1, PORT);
    int sender = broadcast_socket_on_host(host_count(), 0);
    bool crossed = false;
    for (auto waited = std::chrono::milliseconds(0); !crossed && waited < timeout;
         waited += std::chrono::milliseconds(20)) {
        broadcast_to_port(sender, PORT, "?");
        pollfd wait{receiver, POLLIN, 0};
        crossed = poll(&wait, 1, 20) == 1;
    }
    close(sender);
    close(receiver);
    return crossed;
}

} // namespace

std::unique_ptr<Process> start_relay()
{
    std::vector<std::string> argv = {"/usr/bin/nsenter", "-t", host_pid(2), "-n", "--"};
    for (const std::string &word :
         relay_command({{"${CAMERA_SIDE}", "^obx1$"}, {"${OFFICE_SIDE}", "^obx0$"}}))
        argv.push_back(word);
    auto relay = std::make_unique<Process>(argv);
    if (!broadcasts_cross(std::chrono::seconds(5)))
        throw std::runtime_error("the relay does not relay: " + relay->err());
    return relay;
}

} // namespace testnet
