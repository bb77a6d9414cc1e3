// SPDX-License-Identifier: MIT
#include "standard_error.h"

#include <obx_internal/peer_text.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

sigset_t pipe_signal_only()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool pipe_signal_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

// Whether descriptor 2, a pipe or FIFO, takes PIPE_BUF bytes now and has a
// reader.
bool pipe_takes_a_line_now()
{
    pollfd ready{STDERR_FILENO, POLLOUT, 0};
    return poll(&ready, 1, 0) == 1 && ready.revents == POLLOUT;
}

// Writes what descriptor 2 takes at once, without waiting and without
// touching its flags, which the host program and its shell share. Returns
// the bytes written, or -1.
ssize_t write_at_once(const struct stat &target, const char *data, size_t size)
{
    if (S_ISSOCK(target.st_mode)) // journald's stream, say; cannot be opened again
        return send(STDERR_FILENO, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (S_ISREG(target.st_mode)) // opened again, it would lose its offset and O_APPEND
        return write(STDERR_FILENO, data, size);

    // A terminal, pipe or FIFO: a description of its own can be non-blocking.
    PipeSignalHeld pipe_signal_held;
    int own = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
        ssize_t written = write(own, data, size);
        close(own);
        return written;
    }
    // Not to be opened (no /proc, another user's terminal, a FIFO with no
    // reader): only a line that a pipe surely takes whole.
    if (S_ISFIFO(target.st_mode) && size <= PIPE_BUF && pipe_takes_a_line_now())
        return write(STDERR_FILENO, data, size);
    return -1;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The line being written: the library's lines never mix, across instances
// and threads, and a line cut short is finished before the next one.
class Line {
public:
    std::mutex mutex; // held for each call below

    // Starts a line of text, detail and a line feed.
    void start(std::string_view text, std::string_view detail)
    {
        const size_t room = sizeof bytes_ - 1; // the line feed
        size_t text_size = std::min(text.size(), room);
        size_t detail_size = std::min(detail.size(), room - text_size);
        // An empty view may hold no pointer, which memcpy must not get.
        std::copy_n(text.data(), text_size, bytes_);
        std::copy_n(detail.data(), detail_size, bytes_ + text_size);
        bytes_[text_size + detail_size] = '\n';
        size_ = text_size + detail_size + 1;
        written_ = 0;
    }

    // Writes what is left of the line; true once all of it is out. A line
    // of which nothing went out is dropped.
    bool write_rest()
    {
        struct stat target;
        if (fstat(STDERR_FILENO, &target) < 0) {
            drop(); // not open: nobody to tell
            return false;
        }
        if (owed_ && !same_file(target, target_))
            written_ = size_; // the rest belonged to a reader that descriptor 2 is no more
        target_ = target;
        while (written_ < size_) {
            ssize_t step = write_at_once(target, bytes_ + written_, size_ - written_);
            if (step <= 0)
                break;
            written_ += static_cast<size_t>(step);
        }
        bool done = written_ == size_;
        if (done || written_ == 0)
            drop();
        else
            owed_ = true;
        return done;
    }

    bool owed() const { return owed_; }

private:
    void drop()
    {
        size_ = written_ = 0;
        owed_ = false;
    }

    char bytes_[ESCAPED_LINE_LIMIT];
    size_t size_ = 0;
    size_t written_ = 0;
    std::atomic<bool> owed_{false}; // part of the line is out, the rest not yet
    struct stat target_ {};
};

Line line;

} // namespace

PipeSignalHeld::PipeSignalHeld()
{
    sigset_t pipe_signal = pipe_signal_only();
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask_);
    was_pending_ = pipe_signal_pending();
}

PipeSignalHeld::~PipeSignalHeld()
{
    if (!was_pending_ && pipe_signal_pending()) {
        sigset_t pipe_signal = pipe_signal_only();
        timespec no_wait{};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

namespace standard_error {

bool write_line(std::string_view text, std::string_view detail)
{
    std::lock_guard<std::mutex> lock(line.mutex);
    if (line.owed() && !line.write_rest())
        return false;
    line.start(text, detail);
    return line.write_rest() || line.owed();
}

bool owes_tail()
{
    return line.owed();
}

bool write_tail()
{
    std::lock_guard<std::mutex> lock(line.mutex);
    return !line.owed() || line.write_rest();
}

} // namespace standard_error
