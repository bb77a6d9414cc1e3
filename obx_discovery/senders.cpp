// SPDX-License-Identifier: MIT
// The start-up datagrams with their repeats, and answers to probes, sent by
// the presence thread so that the listener never waits: a flood of probes
// costs at most one answer per 40 ms and leaves the listener free to hear
// the peers that answer.
//
// An answer is due 40 ms after the earliest probe not yet answered, or 40 ms
// after the previous answer if that is later, and it answers every probe
// heard at least 40 ms before it leaves. A start-up repeat of the presence
// keeps to the same pace.
#include "senders.h"
#include "broadcast.h"
#include "instance.h"

#include <iterator>

void note_probe(ObxDiscovery &self)
{
    AnswerSchedule &answers = self.answers;
    std::lock_guard<std::mutex> lock(answers.mutex);
    Clock::time_point now = Clock::now();
    answers.latest_probe = now;
    if (!answers.due) {
        answers.due = std::max(now, answers.last_answer) + SEND_DELAY;
        answers.changed.notify_all();
    }
}

void wake_senders(ObxDiscovery &self)
{
    // Taking the lock orders should_quit before the threads' tests.
    { std::lock_guard<std::mutex> lock(self.answers.mutex); }
    self.answers.changed.notify_all();
}

namespace {

// The start-up repeats not yet sent.
class StartupRepeats {
public:
    explicit StartupRepeats(Clock::time_point start) : start_(start) {}

    std::optional<Clock::time_point> next() const
    {
        if (sent_ == std::size(STARTUP_REPEATS))
            return std::nullopt;
        return start_ + STARTUP_REPEATS[sent_];
    }
    bool due(Clock::time_point now) const { return next() && *next() <= now; }
    // Counts as sent every repeat due by now: one late thread sends one.
    void sent_at(Clock::time_point now)
    {
        while (due(now))
            ++sent_;
    }

private:
    Clock::time_point start_;
    size_t sent_ = 0;
};

// Marks the probes that an answer leaving now answers.
void note_answer(AnswerSchedule &answers)
{
    Clock::time_point now = Clock::now();
    answers.last_answer = now;
    // Probes of the last 40 ms are too recent for this answer: the next one,
    // 40 ms from now, is theirs.
    if (answers.latest_probe + SEND_DELAY > now)
        answers.due = now + SEND_DELAY;
    else
        answers.due.reset();
}

// Waits for the next presence to send: a due answer or a start-up repeat.
// False when should_quit comes first; an answer already due is still sent,
// a repeat not yet due is not.
bool wait_for_next_presence(ObxDiscovery &self, StartupRepeats &repeats)
{
    AnswerSchedule &answers = self.answers;
    std::unique_lock<std::mutex> lock(answers.mutex);
    auto woken = [&] { return answers.due || self.should_quit || repeats.due(Clock::now()); };
    if (std::optional<Clock::time_point> repeat = repeats.next())
        answers.changed.wait_until(lock, *repeat, woken);
    else
        answers.changed.wait(lock, woken);

    if (answers.due) {
        // Only this thread clears due, so it stays while the lock is released.
        Clock::time_point due = *answers.due;
        lock.unlock();
        std::this_thread::sleep_until(due);
        lock.lock();
        note_answer(answers);
    } else if (self.should_quit) {
        return false;
    } else {
        answers.last_answer = Clock::now(); // keeps answers 40 ms apart from it
    }
    // An answer that leaves when a repeat is due is that repeat.
    repeats.sent_at(Clock::now());
    return true;
}

// Waits until deadline; false if should_quit comes first.
bool wait_unless_stopped(ObxDiscovery &self, Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(self.answers.mutex);
    return !self.answers.changed.wait_until(lock, deadline, [&] { return self.should_quit.load(); });
}

} // namespace

void announce_and_answer(ObxDiscovery &self)
{
    broadcast_datagram(self, DatagramType::PRESENCE);
    StartupRepeats repeats(self.started_at);
    // A pending answer is still sent when the instance is freed, as the
    // first start-up datagrams are; later probes are not answered.
    while (wait_for_next_presence(self, repeats)) {
        broadcast_now(self, DatagramType::PRESENCE);
        if (self.should_quit)
            return;
    }
}

void probe_at_start(ObxDiscovery &self)
{
    broadcast_datagram(self, DatagramType::PROBE);
    StartupRepeats repeats(self.started_at);
    while (std::optional<Clock::time_point> repeat = repeats.next()) {
        if (!wait_unless_stopped(self, *repeat))
            return;
        broadcast_now(self, DatagramType::PROBE);
        repeats.sent_at(Clock::now());
    }
}
