// SPDX-License-Identifier: BSD-2-Clause
// What the load tool reads about the relay process from /proc: CPU time of
// all its threads, peak and current memory, threads and context switches.
#pragma once

#include <cstdint>
#include <sys/types.h>

struct process_sample {
    double cpu_seconds;        // utime + stime of every thread, living or gone
    uint64_t context_switches; // voluntary and involuntary, over the living threads
    long threads;
    long peak_rss_kb;          // VmHWM
    long rss_kb;               // VmRSS
};

// False when the process is gone or /proc could not be read.
bool sample_process(pid_t pid, process_sample *sample);

// Pure parts, for the tests. The clock ticks of utime + stime in the text of
// /proc/PID/stat; false when it cannot be read. The command name may hold
// spaces and parentheses: the fields start after the last ')'.
bool stat_cpu_ticks(const char *stat_text, uint64_t *ticks);

// The number after `key` (e.g. "VmHWM:") in the text of a status file, -1
// when the key is missing.
long status_number(const char *status_text, const char *key);
