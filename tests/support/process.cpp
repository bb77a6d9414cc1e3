// SPDX-License-Identifier: MIT
#include "process.h"

#include <dirent.h>
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
#include <thread>

extern char **environ;

namespace {

void close_if_open(int fd)
{
    if (fd >= 0)
        close(fd);
}

std::vector<char *> c_strings(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (std::string &text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A pipe's ends, read and write, kept from programs started later.
std::pair<int, int> open_pipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    return {ends[0], ends[1]};
}

} // namespace

std::pair<int, int> open_terminal()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0)
        throw std::runtime_error("no pty");
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw std::runtime_error("cannot open the pty's slave");
    return {master, slave};
}

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env,
                 Streams streams)
{
    // The ends this process keeps, and those the program gets.
    auto [out_read, out_write] = streams == Streams::TERMINAL ? open_terminal() : open_pipe();
    auto [err_read, err_write] = streams == Streams::TERMINAL ? std::pair(-1, out_write) : open_pipe();
    auto [in_read, in_write] = streams == Streams::PIPES_AND_INPUT ? open_pipe() : std::pair(-1, -1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_write, STDERR_FILENO);
    if (in_read >= 0)
        posix_spawn_file_actions_adddup2(&actions, in_read, STDIN_FILENO);

    std::vector<std::string> args = argv;
    std::vector<std::string> env;
    for (char **entry = environ; *entry; ++entry)
        env.push_back(*entry);
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    int failed = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, c_strings(args).data(),
                             c_strings(env).data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_write);
    if (err_write != out_write)
        close(err_write);
    close_if_open(in_read);
    out_fd_ = out_read;
    err_fd_ = err_read;
    in_fd_ = in_write;
    if (failed)
        throw std::runtime_error("cannot start " + args[0]);
}

Process::~Process()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_fd_, err_fd_, in_fd_})
        close_if_open(fd);
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
    close_if_open(take_output());
}

int Process::take_output()
{
    int fd = out_fd_;
    out_fd_ = -1;
    return fd;
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
    int status = 0;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        if (pump(left))
            continue;
        // Its pipes are closed or handed over: it has ended, or ends soon.
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            break;
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
    }
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

std::vector<std::string> proc_entries(const std::string &directory)
{
    std::vector<std::string> names;
    DIR *listing = opendir(directory.c_str());
    while (dirent *entry = listing ? readdir(listing) : nullptr)
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    if (listing)
        closedir(listing);
    return names;
}

long proc_status_number(const std::string &status_path, const std::string &field)
{
    std::ifstream status(status_path);
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return 0;
}
