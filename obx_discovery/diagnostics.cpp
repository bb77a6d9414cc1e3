// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

iovec part(std::string_view text)
{
    return {const_cast<char *>(text.data()), text.size()};
}

// Whether fd takes a line now: a pipe nobody reads or a slow console must
// never hold the caller. The descriptor stays blocking, as the host program
// and its shell share it; a line of at most a pipe's atomic size fits once
// poll says so.
bool takes_a_line_now(int fd)
{
    pollfd ready{fd, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT);
}

// One write of text, detail and a line feed.
void write_parts(int fd, std::string_view text, std::string_view detail)
{
    iovec parts[] = {part(text), part(detail), part("\n")};
    writev(fd, parts, 3);
}

bool write_if_ready(int fd, std::string_view text, std::string_view detail)
{
    if (!takes_a_line_now(fd))
        return false;
    write_parts(fd, text, detail);
    return true;
}

} // namespace

void report_error(std::string_view text, std::string_view detail)
{
    write_if_ready(STDERR_FILENO, text, detail);
}

void trace(bool verbose, std::string_view text, std::string_view detail)
{
    if (!verbose)
        return;
    // Through stdio, in order with the lines the program itself prints there.
    flockfile(stdout);
    fwrite_unlocked(text.data(), 1, text.size(), stdout);
    fwrite_unlocked(detail.data(), 1, detail.size(), stdout);
    fputc_unlocked('\n', stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

void ErrorLog::refill(Clock::time_point now)
{
    std::chrono::duration<double> elapsed = now - refilled_;
    allowance_ = std::min(BURST, allowance_ + elapsed.count() * RATE);
    refilled_ = now;
}

bool ErrorLog::take_allowance()
{
    if (allowance_ < 1)
        return false;
    allowance_ -= 1;
    return true;
}

bool ErrorLog::write_suppressed_count()
{
    char count[48];
    snprintf(count, sizeof count, "%lu more messages suppressed", suppressed_);
    if (allowance_ < 1 || !write_if_ready(STDERR_FILENO, count, {}))
        return false;
    allowance_ -= 1;
    suppressed_ = 0;
    return true;
}

bool ErrorLog::admit()
{
    Clock::time_point now = Clock::now();
    refill(now);
    // The count goes before the next message, when both are allowed; in a
    // steady flood it waits for the flood to end.
    if (suppressed_ > 0 && allowance_ >= 2)
        write_suppressed_count();
    if (take_allowance() && takes_a_line_now(STDERR_FILENO))
        return true;
    ++suppressed_;
    report_due_ = now + QUIET;
    return false;
}

void ErrorLog::write_admitted(std::string_view text, std::string_view detail)
{
    write_parts(STDERR_FILENO, text, detail);
}

void ErrorLog::write(std::string_view text, std::string_view detail)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (admit())
        write_admitted(text, detail);
}

int ErrorLog::milliseconds_to_report() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (suppressed_ == 0)
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(report_due_ - Clock::now());
    return static_cast<int>(std::max<long>(0, left.count()));
}

void ErrorLog::report_suppressed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = Clock::now();
    if (suppressed_ == 0 || now < report_due_)
        return;
    refill(now);
    if (!write_suppressed_count())
        report_due_ = now + QUIET; // standard error still full: try again later
}
