// SPDX-License-Identifier: MIT
#include "capture.h"

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <tuple>

OutputCapture::OutputCapture(int fd)
    : fd_(fd), saved_(dup(fd)), file_(memfd_create("capture", MFD_CLOEXEC))
{
    if (saved_ < 0 || file_ < 0)
        throw std::runtime_error("cannot capture output");
    fflush(nullptr);
    dup2(file_, fd_);
}

OutputCapture::~OutputCapture()
{
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    close(file_);
}

std::string OutputCapture::text() const
{
    std::string all;
    char chunk[4096];
    ssize_t size;
    for (off_t at = 0; (size = pread(file_, chunk, sizeof chunk, at)) > 0; at += size)
        all.append(chunk, static_cast<size_t>(size));
    return all;
}

namespace {

// The two ends of a stalled standard error: reader, writer.
std::pair<int, int> open_stalled(StalledStandardError::Kind kind)
{
    using Kind = StalledStandardError::Kind;
    int ends[2] = {-1, -1};
    bool opened = false;
    switch (kind) {
    case Kind::PIPE:
    case Kind::PIPE_WITHOUT_READER:
        opened = pipe2(ends, O_CLOEXEC) == 0;
        break;
    case Kind::TERMINAL:
        std::tie(ends[0], ends[1]) = open_terminal();
        opened = true;
        break;
    case Kind::SOCKET: {
        opened = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0;
        int size = 1; // the least the kernel allows
        setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        break;
    }
    }
    if (!opened)
        throw std::runtime_error("cannot open a standard error to stall");
    if (kind == Kind::PIPE_WITHOUT_READER) {
        close(ends[0]);
        ends[0] = -1;
    }
    return {ends[0], ends[1]};
}

} // namespace

StalledStandardError::StalledStandardError(Kind kind)
{
    std::tie(reader_, writer_) = open_stalled(kind);
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    dup2(writer_, STDERR_FILENO);
}

StalledStandardError::~StalledStandardError()
{
    dup2(saved_, STDERR_FILENO);
    for (int fd : {saved_, reader_, writer_})
        if (fd >= 0)
            close(fd);
}

std::string StalledStandardError::read_for(std::chrono::milliseconds duration,
                                           size_t bytes_per_ms)
{
    std::string text;
    auto end = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); reader_ >= 0 && now < end;
         now = std::chrono::steady_clock::now()) {
        pollfd readable{reader_, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>((end - now) / std::chrono::milliseconds(1)) + 1) <= 0)
            continue;
        char chunk[4096];
        ssize_t size = read(reader_, chunk, std::min(sizeof chunk, bytes_per_ms));
        if (size <= 0)
            break;
        std::copy_if(chunk, chunk + size, std::back_inserter(text), [](char c) { return c != '\r'; });
        if (bytes_per_ms < sizeof chunk)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return text;
}

size_t lines_starting(const std::string &text, const std::string &start)
{
    size_t lines = 0;
    for (size_t at = 0; (at = text.find(start, at)) != std::string::npos; ++at)
        lines += at == 0 || text[at - 1] == '\n';
    return lines;
}
