// SPDX-License-Identifier: MIT
// Captures what the process writes to one of its standard streams.
#ifndef TESTS_SUPPORT_CAPTURE_H
#define TESTS_SUPPORT_CAPTURE_H

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

#endif
