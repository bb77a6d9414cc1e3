// SPDX-License-Identifier: MIT
// A program under test, started with its standard output and error piped.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

class Process {
public:
    // Starts argv[0] with argv, and the environment plus extra_env
    // ("NAME=value" entries).
    explicit Process(const std::vector<std::string> &argv,
                     const std::vector<std::string> &extra_env = {});
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();

    // Waits until standard output holds needle; false after the timeout.
    bool wait_for_output(std::string_view needle, std::chrono::milliseconds timeout);
    // Waits for the process to end by itself and returns its exit status,
    // or -1 if it is still running after the timeout.
    int wait_for_exit(std::chrono::milliseconds timeout);
    // Ends the process with SIGTERM and collects its output.
    void stop();

    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    // Reads what is available within the timeout; false once both pipes are closed.
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
};

#endif
