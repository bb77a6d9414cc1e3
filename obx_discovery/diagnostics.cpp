// SPDX-License-Identifier: MIT
#include "diagnostics.h"

#include "standard_error.h"

#include <algorithm>
#include <cstdio>

void report_error(std::string_view text, std::string_view detail)
{
    standard_error::write_line(text, detail);
}

void trace(bool verbose, std::string_view text, std::string_view detail)
{
    if (!verbose)
        return;
    // Through stdio, in order with the lines the program itself prints there.
    PipeSignalHeld pipe_signal_held;
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
    if (allowance_ < 1 || !standard_error::write_line(count))
        return false;
    allowance_ -= 1;
    suppressed_ = 0;
    return true;
}

void ErrorLog::count_suppressed(Clock::time_point now)
{
    ++suppressed_;
    report_due_ = now + QUIET;
}

// A line that standard error cannot take still spends its allowance: while
// it is stalled, a flood costs no more than the throttle lets through.
bool ErrorLog::admit()
{
    Clock::time_point now = now_();
    refill(now);
    // The count goes before the next message, when both are allowed; in a
    // steady flood it waits for the flood to end.
    if (suppressed_ > 0 && allowance_ >= 2)
        write_suppressed_count();
    if (take_allowance())
        return true;
    count_suppressed(now);
    return false;
}

void ErrorLog::write_admitted(std::string_view text, std::string_view detail)
{
    if (!standard_error::write_line(text, detail))
        count_suppressed(now_());
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
    Clock::time_point due = Clock::time_point::max();
    if (suppressed_ > 0)
        due = report_due_;
    if (standard_error::owes_tail())
        due = std::min(due, tail_retry_due_);
    if (due == Clock::time_point::max())
        return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now_());
    return static_cast<int>(std::max<long>(0, left.count()));
}

void ErrorLog::report_suppressed()
{
    std::lock_guard<std::mutex> lock(mutex_);
    Clock::time_point now = now_();
    if (standard_error::owes_tail() && now >= tail_retry_due_) {
        standard_error::write_tail();
        tail_retry_due_ = now + TAIL_RETRY;
    }
    if (suppressed_ == 0 || now < report_due_)
        return;
    refill(now);
    if (!write_suppressed_count())
        report_due_ = now + QUIET; // standard error still full: try again later
}
