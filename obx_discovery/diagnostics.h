// SPDX-License-Identifier: MIT
// Diagnostics. Each message is one line. Diagnostics on standard error never
// wait (standard_error.h): a line that standard error cannot take at once is
// counted as suppressed, as are those beyond the throttle.
#ifndef OBX_DISCOVERY_DIAGNOSTICS_H
#define OBX_DISCOVERY_DIAGNOSTICS_H

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

// Writes text, detail and a line feed to standard error if it can take them
// now. For messages that belong to no instance. Allocates nothing, so that
// it can report a failed allocation.
void report_error(std::string_view text, std::string_view detail = {});

// Writes text, detail and a line feed to standard output if verbose: the
// trace the user asked for, so it waits for standard output. Never raises
// SIGPIPE.
void trace(bool verbose, std::string_view text, std::string_view detail = {});

// One instance's standard error. A flood of malformed datagrams must not
// become a flood of lines: after a burst of BURST lines, RATE a second.
class ErrorLog {
public:
    using Clock = std::chrono::steady_clock;
    using Now = Clock::time_point (*)();
    static constexpr double BURST = 50;
    static constexpr double RATE = 20;
    // How long after the last suppressed message their count is reported.
    static constexpr auto QUIET = std::chrono::seconds(1);
    // How often the tail of a line cut short is tried again.
    static constexpr auto TAIL_RETRY = std::chrono::seconds(1);

    // now tells the time; tests pass a clock of their own.
    explicit ErrorLog(Now now = Clock::now) : now_(now), refilled_(now()) {}

    // Writes text, detail and a line feed, or counts them as suppressed.
    // Thread-safe; allocates nothing.
    void write(std::string_view text, std::string_view detail = {});

    // The same for the line that make_line() returns, which is only built
    // when it can be written: in a flood most are not.
    template <typename MakeLine> void write_line(MakeLine make_line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (admit())
            write_admitted(make_line(), {});
    }

    // Milliseconds until report_suppressed() is due; -1 with nothing held
    // back and no line's tail owed.
    int milliseconds_to_report() const;
    // Writes "N more messages suppressed" once it is due, and tries again
    // the tail of a line cut short.
    void report_suppressed();

private:
    // Whether a line may be written now; if not, it is counted.
    bool admit();
    void write_admitted(std::string_view text, std::string_view detail);
    void count_suppressed(Clock::time_point now);
    // Adds the allowance earned since the last refill.
    void refill(Clock::time_point now);
    // Takes one line's allowance; false if there is none.
    bool take_allowance();
    // Writes the count of suppressed messages with the allowance it needs.
    bool write_suppressed_count();

    const Now now_;
    mutable std::mutex mutex_;
    double allowance_ = BURST;
    Clock::time_point refilled_;
    unsigned long suppressed_ = 0;
    Clock::time_point report_due_{};
    Clock::time_point tail_retry_due_{};
};

#endif
