// SPDX-License-Identifier: MIT
// Captures what the process writes to one of its standard streams.
#ifndef TESTS_SUPPORT_CAPTURE_H
#define TESTS_SUPPORT_CAPTURE_H

#include <chrono>
#include <cstddef>
#include <string>

class OutputCapture {
public:
    // fd is STDOUT_FILENO or STDERR_FILENO; it is restored on destruction.
    explicit OutputCapture(int fd);
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;
    ~OutputCapture();

    std::string text() const;

private:
    int fd_;
    int saved_;
    int file_;
};

// How many lines of text start with start.
size_t lines_starting(const std::string &text, const std::string &start);

// Makes standard error, until destruction, one that nobody reads: what a
// program meets whose reader has stopped, or has gone.
class StalledStandardError {
public:
    enum class Kind {
        PIPE,
        TERMINAL, // a pty, in its default cooked mode
        SOCKET,   // a stream socket, as journald's is, with a small send buffer
        PIPE_WITHOUT_READER,
    };
    explicit StalledStandardError(Kind kind);
    StalledStandardError(const StalledStandardError &) = delete;
    StalledStandardError &operator=(const StalledStandardError &) = delete;
    ~StalledStandardError();

    // The reader comes back: what it reads within the duration, at most
    // bytes_per_ms a millisecond, a terminal's carriage returns left out.
    std::string read_for(std::chrono::milliseconds duration, size_t bytes_per_ms = 4096);

private:
    int reader_ = -1;
    int writer_ = -1;
    int saved_ = -1;
};

#endif
