// SPDX-License-Identifier: MIT
#include "capture.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

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

StalledStandardError::StalledStandardError()
{
    if (pipe2(pipe_, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
    fcntl(pipe_[1], F_SETFL, O_NONBLOCK);
    char chunk[4096] = {};
    while (write(pipe_[1], chunk, sizeof chunk) > 0) {
    }
    fcntl(pipe_[1], F_SETFL, 0); // blocking again, as a real one is
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    dup2(pipe_[1], STDERR_FILENO);
}

StalledStandardError::~StalledStandardError()
{
    dup2(saved_, STDERR_FILENO);
    for (int fd : {saved_, pipe_[0], pipe_[1]})
        close(fd);
}

size_t lines_starting(const std::string &text, const std::string &start)
{
    size_t lines = 0;
    for (size_t at = 0; (at = text.find(start, at)) != std::string::npos; ++at)
        lines += at == 0 || text[at - 1] == '\n';
    return lines;
}
