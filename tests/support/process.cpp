// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace {

std::vector<char *> c_strings(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                 bool input)
{
    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0 ||
        (input && pipe2(in_pipe, O_CLOEXEC) < 0))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    if (input)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);

    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    int failed = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, c_strings(args).data(),
                             c_strings(env).data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (input)
        close(in_pipe[0]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
    in_fd_ = in_pipe[1];
    if (failed)
        throw std::runtime_error("cannot start " + args[0]);
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_fd_);
    close(err_fd_);
    if (in_fd_ >= 0)
        close(in_fd_);
}

bool Process::pump(std::chrono::milliseconds timeout)
{
    pollfd fds[] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    std::string *sinks[] = {&out_, &err_};
    int open_pipes = (out_fd_ >= 0) + (err_fd_ >= 0);
    if (open_pipes == 0)
        return false;
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0)
            continue;
        char chunk[4096];
        ssize_t size = read(fds[i].fd, chunk, sizeof chunk);
        if (size > 0) {
            sinks[i]->append(chunk, static_cast<size_t>(size));
        } else {
            close(fds[i].fd);
            (i == 0 ? out_fd_ : err_fd_) = -1;
        }
    }
    return true;
}

bool Process::wait_for_output(std::string_view needle, std::chrono::milliseconds timeout)
{
    return wait_for(out_, needle, timeout);
}

bool Process::wait_for_error(std::string_view needle, std::chrono::milliseconds timeout)
{
    return wait_for(err_, needle, timeout);
}

bool Process::wait_for(const std::string &stream, std::string_view needle,
                       std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stream.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left))
            return false;
    }
    return true;
}

std::optional<std::string> Process::next_line(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t end;
    while ((end = out_.find('\n', lines_taken_)) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left))
            return std::nullopt;
    }
    std::string line = out_.substr(lines_taken_, end - lines_taken_);
    lines_taken_ = end + 1;
    return line;
}

void Process::send_line(std::string_view line)
{
    std::string text = std::string(line) + "\n";
    if (write(in_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot write to the process");
}

void Process::close_output()
{
    close(out_fd_);
    out_fd_ = -1;
}

int Process::take_error_pipe()
{
    int fd = err_fd_;
    err_fd_ = -1;
    return fd;
}

int Process::wait_for_exit(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        if (!pump(left))
            break;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

rusage Process::interrupt()
{
    rusage usage{};
    kill(pid_, SIGINT);
    wait4(pid_, nullptr, 0, &usage);
    pid_ = -1;
    return usage;
}

double Process::cpu_seconds() const
{
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime are the 12th and 13th fields after the command's ")".
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 0; i < 11; ++i)
        fields >> field;
    long user = 0, system = 0;
    fields >> user >> system;
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long Process::resident_kib() const
{
    return proc_status_number("/proc/" + std::to_string(pid_) + "/status", "VmRSS");
}

double cpu_seconds(const rusage &usage)
{
    auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long proc_status_number(const std::string &status_path, const std::string &field)
{
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return 0;
}
