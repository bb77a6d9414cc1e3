// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &extra_env)
{
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);

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
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
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
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_.find(needle) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(left))
            return false;
    }
    return true;
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

void Process::stop()
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    wait_for_exit(std::chrono::seconds(5));
}
