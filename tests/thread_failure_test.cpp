// An instance whose threads cannot be started says so, and can still be
// freed. pthread_create is replaced here so that it can be made to fail.
#include "support/capture.h"
#include "support/reports.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
std::atomic<bool> threads_fail{false};
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*start)(void *), void *arg)
{
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return threads_fail ? EAGAIN : real(thread, attr, start, arg);
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

    std::string text = errors.text();
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("thread creation failed: ", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 3u) << text;
}

} // namespace
