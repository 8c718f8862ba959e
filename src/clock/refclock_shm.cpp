// SPDX-License-Identifier: BSD-2-Clause
#include "clock/refclock_shm.h"

#include <atomic>
#include <cerrno>
#include <sys/ipc.h>
#include <sys/shm.h>

shm_time *shm_attach(int unit, const char **why)
{
    *why = nullptr;
    int mode = unit <= 1 ? 0600 : 0666;
    int id = shmget(shm_key_base + unit, sizeof(shm_time), IPC_CREAT | mode);
    if (id < 0) {
        if (errno == EINVAL)
            *why = "a segment of another size is there: made by a program whose time_t differs";
        return nullptr;
    }
    // A bigger segment would be attached as well; but its record is laid
    // out for another time_t, and a reader would take our seconds for
    // something else.
    shmid_ds status;
    if (shmctl(id, IPC_STAT, &status) != 0)
        return nullptr;
    if (status.shm_segsz != sizeof(shm_time)) {
        *why = "a segment of another size is there: made by a program whose time_t differs";
        errno = EINVAL;
        return nullptr;
    }
    void *at = shmat(id, nullptr, 0);
    if (at == reinterpret_cast<void *>(-1))
        return nullptr;
    return static_cast<shm_time *>(at);
}

void shm_put(shm_time *record, const receiver_time &time, const timespec &received)
{
    // A reader that comes in the middle sees count change, or valid 0, and
    // passes the sample over; the fences keep the stores in that order for
    // a reader on another core.
    volatile shm_time *r = record;
    r->mode = 1;
    r->valid = 0;
    r->count = r->count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    r->clock_seconds = static_cast<time_t>(time.seconds);
    r->clock_microseconds = static_cast<int>(time.nanoseconds / 1000);
    r->clock_nanoseconds = static_cast<unsigned>(time.nanoseconds);
    r->receive_seconds = received.tv_sec;
    r->receive_microseconds = static_cast<int>(received.tv_nsec / 1000);
    r->receive_nanoseconds = static_cast<unsigned>(received.tv_nsec);
    r->leap = 0;
    // NMEA alone is good to some tens of milliseconds: 2^-4 s.
    r->precision = -4;
    r->nsamples = 0;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    r->count = r->count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    r->valid = 1;
}
