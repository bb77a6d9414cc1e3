// SPDX-License-Identifier: MIT
// Captures what the process writes to one of its standard streams.
#ifndef TESTS_SUPPORT_CAPTURE_H
#define TESTS_SUPPORT_CAPTURE_H

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

// Makes standard error, until destruction, a pipe that nobody reads and
// that is full already: what a program meets whose reader has stopped.
class StalledStandardError {
public:
    StalledStandardError();
    StalledStandardError(const StalledStandardError &) = delete;
    StalledStandardError &operator=(const StalledStandardError &) = delete;
    ~StalledStandardError();

private:
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
};

#endif
