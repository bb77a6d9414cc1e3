// SPDX-License-Identifier: MIT
// An instance that cannot get what it needs says so, and leaves nothing
// behind. pthread_create and operator new are replaced here so that they can
// be made to fail; the executable exports them, so the library uses them too.
#include "obx_discovery/broadcast.h"
#include "obx_discovery/instance.h"
#include "support/capture.h"
#include "support/peer.h"
#include "support/process.h"
#include "support/reports.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <thread>

namespace {
std::atomic<bool> threads_fail{false};
// Allocations on this thread still allowed before they all fail; -1: no limit.
thread_local int allocations_left = -1;
} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*start)(void *), void *arg)
{
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return threads_fail ? EAGAIN : real(thread, attr, start, arg);
}

void *operator new(std::size_t size)
{
    if (allocations_left == 0)
        throw std::bad_alloc();
    if (allocations_left > 0)
        --allocations_left;
    if (void *memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

// The nothrow form too, so that every allocation that ends in the delete
// below comes from the same place.
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return operator new(size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void operator delete(void *memory) noexcept
{
    std::free(memory);
}

void operator delete(void *memory, std::size_t) noexcept
{
    std::free(memory);
}

namespace {

TEST(ThreadFailure, IsReportedAndInstanceFreesSafely)
{
    Reports reports;
    OutputCapture errors(STDERR_FILENO);
    threads_fail = true;
    ObxDiscovery *instance = obx_discovery_new(probe_details(), Reports::callback, &reports);
    threads_fail = false;
    ASSERT_NE(instance, nullptr);
    obx_discovery_free(instance);

    EXPECT_EQ(lines_starting(errors.text(), "thread creation failed: "), 3u) << errors.text();
}

size_t thread_count()
{
    return proc_entries("/proc/self/task").size();
}

// Memory runs out at each allocation of obx_discovery_new in turn, and stays
// out: the instance is not created, and no thread or socket of it remains.
TEST(AllocationFailure, AtEachAllocationNewReturnsNullAndCleansUp)
{
    // Texts long enough to be copied to the heap.
    ObxPeerDetails camera{OBX_PEER_TYPE_VIDEO_TRANSMITTER, "a camera with a long name",
                          "rtsp://camera.example/stream", "http://camera.example/"};
    Reports reports;
    // ThreadSanitizer starts a thread of its own with the first one.
    std::thread([] {}).join();
    const size_t threads_before = thread_count();
    int allowed = 0;
    for (; allowed < 100; ++allowed) {
        OutputCapture errors(STDERR_FILENO);
        allocations_left = allowed;
        ObxDiscovery *instance = obx_discovery_new(camera, Reports::callback, &reports);
        allocations_left = -1;
        if (instance) {
            obx_discovery_free(instance);
            break;
        }
        EXPECT_EQ(errors.text(), "instance not created: std::bad_alloc\n") << allowed;
        EXPECT_EQ(thread_count(), threads_before) << allowed;
        EXPECT_TRUE(discovery_port_is_free()) << allowed;
    }
    EXPECT_GE(allowed, 7) << "the instance, three texts and three threads need memory";
    EXPECT_LT(allowed, 100);
}

// Memory runs out at each allocation of one send in turn: the datagram is not
// sent, and neither its socket nor the interface list stays behind.
TEST(AllocationFailure, AtEachAllocationOfASendNothingLeaks)
{
    ObxDiscovery self;
    self.peer_type = OBX_PEER_TYPE_VIDEO_TRANSMITTER;
    self.device_name = "a camera with a long name";
    int allowed = 0;
    for (; allowed < 100; ++allowed) {
        OutputCapture errors(STDERR_FILENO);
        const size_t descriptors_before = proc_entries("/proc/self/fd").size();
        allocations_left = allowed;
        broadcast_now(self, DatagramType::PRESENCE);
        allocations_left = -1;
        EXPECT_EQ(proc_entries("/proc/self/fd").size(), descriptors_before) << allowed;
        if (errors.text().empty())
            break; // sent
        EXPECT_EQ(errors.text(), "datagram not sent: std::bad_alloc\n") << allowed;
    }
    EXPECT_GE(allowed, 3) << "the text, the interface list and their names need memory";
    EXPECT_LT(allowed, 100);
}

} // namespace
