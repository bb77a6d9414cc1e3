// SPDX-License-Identifier: MIT
// A program under test, started with its standard output and error piped.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// How the standard streams of a program under test are connected.
enum class Streams {
    PIPES,           // output and error a pipe each; input this process's
    PIPES_AND_INPUT, // the same, and input a pipe that send_line() writes to
    TERMINAL,        // output and error one pty, read as out(); err() stays empty
};

class Process {
public:
    // Starts argv[0] with argv, and the environment plus extra_env
    // ("NAME=value" entries).
    explicit Process(const std::vector<std::string> &argv,
                     const std::vector<std::string> &extra_env = {},
                     Streams streams = Streams::PIPES);
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();

    // Waits until standard output holds needle; false after the timeout.
    bool wait_for_output(std::string_view needle, std::chrono::milliseconds timeout);
    // The same for standard error.
    bool wait_for_error(std::string_view needle, std::chrono::milliseconds timeout);
    // The next line of standard output not yet taken, without its line feed;
    // nothing once the timeout has passed or the output has ended.
    std::optional<std::string> next_line(std::chrono::milliseconds timeout);
    void send_line(std::string_view line);
    // Closes the reading end of its standard output, as a pager that quits.
    void close_output();
    // Hands over the reading end of its standard output or error, for the
    // caller to read at its own pace, or never; out() or err() stays as it is
    // from now on.
    int take_output();
    int take_error_pipe();
    // Waits for the process to end by itself and returns its exit status,
    // or -1 if it is still running after the timeout.
    int wait_for_exit(std::chrono::milliseconds timeout);
    // Ends the process with SIGINT, as a user at a terminal does, and
    // returns what it used.
    rusage interrupt();
    // CPU time used so far by the running process, in clock ticks' steps.
    double cpu_seconds() const;
    // Its resident memory now, in KiB.
    long resident_kib() const;

    pid_t pid() const { return pid_; }
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    // Waits until stream, out_ or err_, holds needle.
    bool wait_for(const std::string &stream, std::string_view needle,
                  std::chrono::milliseconds timeout);
    // Reads what is available within the timeout; false once both pipes are closed.
    bool pump(std::chrono::milliseconds timeout);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    int in_fd_ = -1;
    size_t lines_taken_ = 0; // bytes of out_ that next_line() has returned
    std::string out_;
    std::string err_;
};

// A new pty's master and slave, both closed on exec. The slave is opened by
// its name, which valgrind sees (openpty gets it from an ioctl).
std::pair<int, int> open_terminal();

// User plus system time in usage, in seconds.
double cpu_seconds(const rusage &usage);

// The number in field (such as "VmRSS" or "Threads") of a /proc status
// file; 0 if the file or the field is not there.
long proc_status_number(const std::string &status_path, const std::string &field);

// The names in a directory of /proc, such as a process's threads (task) or
// descriptors (fd), without "." and "..".
std::vector<std::string> proc_entries(const std::string &directory);

#endif
