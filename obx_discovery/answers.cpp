// SPDX-License-Identifier: MIT
// Answers to probes, sent by the presence thread so that the listener never
// waits: a flood of probes costs at most one answer per 40 ms and leaves the
// listener free to hear the peers that answer.
//
// An answer is due 40 ms after the earliest probe not yet answered, or 40 ms
// after the previous answer if that is later, and it answers every probe
// heard at least 40 ms before it leaves.
#include "instance.h"

void note_probe(ObxDiscovery &self)
{
    AnswerSchedule &answers = self.answers;
    std::lock_guard<std::mutex> lock(answers.mutex);
    Clock::time_point now = Clock::now();
    answers.latest_probe = now;
    if (!answers.due) {
        answers.due = std::max(now, answers.last_answer) + SEND_DELAY;
        answers.changed.notify_one();
    }
}

void stop_answering(ObxDiscovery &self)
{
    // Taking the lock orders should_quit before the presence thread's test.
    { std::lock_guard<std::mutex> lock(self.answers.mutex); }
    self.answers.changed.notify_one();
}

namespace {

// Waits for the next due answer and marks the probes it answers. False when
// should_quit comes first.
bool wait_for_due_answer(ObxDiscovery &self)
{
    AnswerSchedule &answers = self.answers;
    std::unique_lock<std::mutex> lock(answers.mutex);
    answers.changed.wait(lock, [&] { return answers.due || self.should_quit; });
    if (!answers.due)
        return false;
    // Only this thread clears due, so it stays while the lock is released.
    Clock::time_point due = *answers.due;
    lock.unlock();
    std::this_thread::sleep_until(due);
    lock.lock();

    Clock::time_point now = Clock::now();
    answers.last_answer = now;
    // Probes of the last 40 ms are too recent for this answer: the next one,
    // 40 ms from now, is theirs.
    if (answers.latest_probe + SEND_DELAY > now)
        answers.due = now + SEND_DELAY;
    else
        answers.due.reset();
    return true;
}

} // namespace

void announce_and_answer(ObxDiscovery *self)
{
    broadcast_datagram(self, DatagramType::PRESENCE);
    // A pending answer is still sent when the instance is freed, as the
    // start-up datagrams are; later probes are not answered.
    while (wait_for_due_answer(*self)) {
        send_datagram(self, DatagramType::PRESENCE);
        if (self->should_quit)
            return;
    }
}
