// SPDX-License-Identifier: MIT
// Standard error as the library writes to it: one line at a time for the
// whole process, at once or not at all, whatever descriptor 2 is. A terminal
// whose reader stopped, a full socket or a pipe whose reader has gone never
// holds a thread of the library, and never raises SIGPIPE in its host.
#ifndef OBX_DISCOVERY_STANDARD_ERROR_H
#define OBX_DISCOVERY_STANDARD_ERROR_H

#include <signal.h>

#include <string_view>

// While it lives, a write by this thread to a pipe or socket whose reader has
// gone fails with EPIPE instead of raising SIGPIPE, which would end the host
// program: the signal is blocked, and taken back if such a write raised it.
class PipeSignalHeld {
public:
    PipeSignalHeld();
    PipeSignalHeld(const PipeSignalHeld &) = delete;
    PipeSignalHeld &operator=(const PipeSignalHeld &) = delete;
    ~PipeSignalHeld();

private:
    sigset_t previous_mask_;
    bool was_pending_;
};

namespace standard_error {

// Writes text, detail and a line feed as one line, shortened to at most
// ESCAPED_LINE_LIMIT bytes. False if nothing of it went out: standard error
// cannot take it now, is not open, or still owes the tail of an earlier line.
// A line that went out in part counts as written: its tail goes out before
// any other line. Thread-safe; allocates nothing.
bool write_line(std::string_view text, std::string_view detail = {});

// Whether the tail of a line cut short still waits to go out.
bool owes_tail();

// Tries again to write that tail; true once nothing is owed.
bool write_tail();

} // namespace standard_error

#endif
