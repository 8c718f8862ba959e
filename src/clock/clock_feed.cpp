// SPDX-License-Identifier: BSD-2-Clause
#include "clock/clock_feed.h"

#include "base/counters.h"
#include "base/messages.h"
#include "base/settings.h"
#include "clock/receiver_time.h"
#include "clock/refclock_shm.h"
#include "clock/refclock_sock.h"

// Everything below is owned by relay_thread alone.
static time_judge judge = judge_start;
static int sock_fd = -1;                       // sends every SOCK clock's samples; -1 none
static shm_time *segments[max_clocks] = {};    // each SHM clock's record, once attached
static bool failing[max_clocks] = {};          // the clock's failure is said: quiet till it takes one
static time_verdict refusal_said = time_verdict::none; // the refusal said since the last sample

// Attaches clock n's segment; says why not, once while it keeps failing.
static bool attach(size_t n)
{
    const clock_name &c = settings.clocks[n];
    const char *why;
    segments[n] = shm_attach(c.unit, &why);
    if (segments[n] != nullptr)
        return true;
    if (!failing[n]) {
        if (why != nullptr)
            complain("Unable to attach the shared memory of clock unit %d: %s\n", c.unit, why);
        else
            complain_errno("Unable to attach the shared memory of clock unit %d", c.unit);
    }
    failing[n] = true;
    return false;
}

void clock_feed_open()
{
    for (size_t n = 0; n < settings.clock_count; n++) {
        if (!settings.clocks[n].is_socket) {
            attach(n);
        } else if (sock_fd < 0 && (sock_fd = sock_open()) < 0) {
            // Only a system out of descriptors or memory says no; the next
            // sample asks again.
            complain_errno("Unable to make a socket for the clocks");
        }
    }
}

// Hands one sample to clock n; false when it did not take it.
static bool hand(size_t n, const receiver_time &time, const timespec &received)
{
    const clock_name &c = settings.clocks[n];
    if (!c.is_socket) {
        if (segments[n] == nullptr && !attach(n))
            return false;
        shm_put(segments[n], time, received);
        return true;
    }
    if (sock_fd < 0 && (sock_fd = sock_open()) < 0)
        return false;
    if (sock_put(sock_fd, c.path, sock_sample_of(time, received)))
        return true;
    // No socket yet (chrony not started), nobody bound to it (chrony gone),
    // its queue full or not ours to write: this second is lost, said once.
    if (!failing[n])
        complain_errno("Clock %s did not take the receiver's time", c.path);
    return false;
}

static const char *refusal_text(time_verdict verdict)
{
    switch (verdict) {
    case time_verdict::not_valid: return "the fix is not valid";
    case time_verdict::too_old: return "a date before 2020 (a receiver whose week number rolled over?)";
    default: return "a time that does not read (no date, a bad checksum, a leap second)";
    }
}

void clock_offer(const char *text, size_t length, const timespec &received)
{
    receiver_time time;
    time_verdict verdict = judge_time(&judge, text, length, &time);
    if (verdict == time_verdict::none || verdict == time_verdict::same_second)
        return;
    if (verdict != time_verdict::sample) {
        count_one(counters.clock_refused);
        if (refusal_said != verdict)
            complain("Receiver's time not handed to the clocks: %s\n", refusal_text(verdict));
        refusal_said = verdict;
        return;
    }
    refusal_said = time_verdict::none;
    for (size_t n = 0; n < settings.clock_count; n++) {
        bool taken = hand(n, time, received);
        if (taken)
            count_one(counters.clock_samples);
        else
            count_one(counters.clock_missed);
        failing[n] = !taken;
    }
}
