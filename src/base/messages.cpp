// SPDX-License-Identifier: BSD-2-Clause
#include "base/messages.h"

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/detached_thread.h"
#include "base/settings.h"

// Room for the longest message: a relayed text of 8191 characters echoed whole.
constexpr size_t message_capacity = 8192 + 64;

// Progress waiting for the writer thread. Enough for some seconds of a busy
// relay; when it is full, standard output has stopped taking bytes and
// further messages are dropped whole.
constexpr size_t progress_queue_bytes = 64 * 1024;

// Filled by any thread that prints progress, emptied by progress_writer;
// all of it guarded by progress_lock.
static std::mutex progress_lock;
// Never destroyed, as the other one below: the writers wait on them for the
// life of the process, and a condition variable destroyed under a waiter
// would hold up the exit.
static std::condition_variable &progress_waiting = *new std::condition_variable;
static char progress_queue[progress_queue_bytes];
static size_t progress_queued = 0;  // bytes in progress_queue, from its start
// Set once by messages_start, before the threads that print start: the
// writer thread runs, so progress is shown.
static bool progress_shown = false;

// Messages waiting for the thread that writes standard error and the
// system log, end to end: each its log priority, its text, a NUL.
constexpr size_t message_queue_bytes = 4096;
struct message_queue {
    char bytes[message_queue_bytes];
    size_t used; // from its start
};
// Failures, enough for dozens of them, and apart from them the lines asked
// for (the counters and a line per client on SIGUSR1): a hundred of those
// outgrow any queue, and in a shared one they would crowd failures out.
// Filled by any thread, emptied by write_failures; all of it guarded by
// failure_lock.
static std::mutex failure_lock;
static std::condition_variable &failure_waiting = *new std::condition_variable;
static message_queue failure_queue;
static message_queue asked_queue;
static unsigned long failures_lost = 0; // failures dropped since the last count was said
// Signalled when the queues have been emptied: a line asked for waits for it.
static std::condition_variable &failure_room = *new std::condition_variable;
// Set once by messages_start, before the threads that fail start: failures
// wait in the queue instead of being written by whoever fails.
static bool failures_deferred = false;

// Standard output is the null device: nothing written there is ever seen.
static bool stdout_is_null()
{
    struct stat out, null;
    return fstat(STDOUT_FILENO, &out) == 0 && stat("/dev/null", &null) == 0 && S_ISCHR(out.st_mode) &&
           out.st_rdev == null.st_rdev;
}

// The only writer of standard output: it alone may wait for a slow
// terminal or an unread pipe. stdio keeps its default buffering (a line at
// a time on a terminal, blocks into a pipe or file).
static void *progress_writer(void *)
{
    static char batch[progress_queue_bytes];
    for (;;) {
        size_t length;
        {
            std::unique_lock<std::mutex> hold(progress_lock);
            progress_waiting.wait(hold, [] { return progress_queued > 0; });
            length = progress_queued;
            memcpy(batch, progress_queue, length);
            progress_queued = 0;
        }
        fwrite(batch, 1, length, stdout);
    }
    return nullptr;
}

bool messages_start()
{
    // From now on other threads say failures; only the thread that serves
    // them may wait for standard error or the system log.
    failures_deferred = true;
    if (settings.daemon_mode) {
        openlog("gpsfanout", LOG_PID, LOG_DAEMON);
        return true;
    }
    // A service's standard output is often the null device: the echo of
    // every line would cost a hand-over per line for nothing.
    if (stdout_is_null())
        return true;
    progress_shown = start_detached_thread(progress_writer, nullptr, 64 * 1024);
    return progress_shown;
}

// Queues the two parts as one message, or drops it whole when it does not fit.
static void queue_progress(const char *first, size_t first_length, const char *second, size_t second_length)
{
    std::lock_guard<std::mutex> hold(progress_lock);
    if (first_length + second_length > progress_queue_bytes - progress_queued) {
        count_shared(counters.drop_progress);
        return;
    }
    memcpy(progress_queue + progress_queued, first, first_length);
    memcpy(progress_queue + progress_queued + first_length, second, second_length);
    bool was_empty = progress_queued == 0;
    progress_queued += first_length + second_length;
    // Under load the writer takes many messages per wake-up.
    if (was_empty)
        progress_waiting.notify_one();
}

void progress(const char *format, ...)
{
    if (!progress_shown)
        return;
    char message[message_capacity];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    // A cut message would be a torn line: drop it whole instead.
    if (length >= 0 && static_cast<size_t>(length) < sizeof message)
        queue_progress(message, static_cast<size_t>(length), "", 0);
    else
        count_shared(counters.drop_progress);
}

void progress_pair(const char *first, size_t first_length, const char *second, size_t second_length)
{
    if (progress_shown)
        queue_progress(first, first_length, second, second_length);
}

// Writes one message where it is read; it may wait for as long as nobody
// takes it. `priority` is the system log's.
static void complain_text(const char *message, int priority = LOG_ERR)
{
    fputs(message, stderr);
    // Detached, standard error is the null device: the log is the only
    // place a failure can be read.
    if (settings.daemon_mode) {
        size_t length = strlen(message);
        if (length > 0 && message[length - 1] == '\n')
            length--; // the log keeps lines of its own
        syslog(priority, "%.*s", static_cast<int>(length), message);
    }
}

// Puts one message at a queue's end; failure_lock held, room checked.
static void append_message(message_queue *queue, const char *message, size_t length, int priority)
{
    queue->bytes[queue->used] = static_cast<char>(priority);
    memcpy(queue->bytes + queue->used + 1, message, length);
    queue->bytes[queue->used + 1 + length] = '\0';
    queue->used += length + 2;
    failure_waiting.notify_one();
}

// Queues one failure for the thread that serves them, or counts it lost.
static void queue_failure(const char *message, size_t length, int priority)
{
    std::lock_guard<std::mutex> hold(failure_lock);
    // After a loss nothing is taken until the count has been said, so that
    // it stands where the gap is.
    if (failures_lost > 0 || length + 2 > message_queue_bytes - failure_queue.used) {
        failures_lost++;
        return;
    }
    append_message(&failure_queue, message, length, priority);
}

static void write_batch(const char *batch, size_t length)
{
    for (size_t at = 0; at < length; at += strlen(batch + at + 1) + 2)
        complain_text(batch + at + 1, batch[at]);
}

// Writes what waits, or else says how many failures were lost; false when
// there was nothing to do. With `wait`, first waits until there is.
static bool write_failures(bool wait)
{
    static char failures[message_queue_bytes], asked[message_queue_bytes];
    size_t failed_length, asked_length;
    unsigned long lost;
    {
        std::unique_lock<std::mutex> hold(failure_lock);
        if (wait)
            failure_waiting.wait(hold, [] { return failure_queue.used > 0 || asked_queue.used > 0 || failures_lost > 0; });
        failed_length = failure_queue.used;
        memcpy(failures, failure_queue.bytes, failed_length);
        failure_queue.used = 0;
        asked_length = asked_queue.used;
        memcpy(asked, asked_queue.bytes, asked_length);
        asked_queue.used = 0;
        // The count is said once what came before the loss has been taken:
        // failures were lost only while the writer took none of them.
        lost = failed_length == 0 ? failures_lost : 0;
        if (failed_length == 0)
            failures_lost = 0;
    }
    failure_room.notify_all();
    write_batch(failures, failed_length);
    if (lost > 0) {
        char note[64];
        snprintf(note, sizeof note, "Messages lost while nobody read them: %lu\n", lost);
        complain_text(note);
    }
    write_batch(asked, asked_length);
    return failed_length > 0 || asked_length > 0 || lost > 0;
}

[[noreturn]] void messages_serve_failures()
{
    for (;;)
        write_failures(true);
}

[[noreturn]] void messages_exit(int status)
{
    while (write_failures(false)) {
    }
    _exit(status);
}

// A message for standard error and, detached, the system log at `priority`.
static void say(int priority, const char *message)
{
    // A long one is cut, but still said.
    if (failures_deferred)
        queue_failure(message, strnlen(message, 1023), priority);
    else
        complain_text(message, priority); // nothing else runs yet: nothing to hold up
}

void complain(const char *format, ...)
{
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length >= 0)
        say(LOG_ERR, message);
}

void notice_in_turn(const char *text)
{
    if (!failures_deferred) {
        complain_text(text, LOG_INFO);
        return;
    }
    size_t length = strnlen(text, 1023);
    std::unique_lock<std::mutex> hold(failure_lock);
    failure_room.wait(hold, [length] { return length + 2 <= message_queue_bytes - asked_queue.used; });
    append_message(&asked_queue, text, length, LOG_INFO);
}

void complain_errno(const char *format, ...)
{
    int error = errno;
    char message[768];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(message, sizeof message, format, arguments); // a long one is cut, but still said
    va_end(arguments);
    char reason[256];
    // The GNU strerror_r returns its text, which may not be in `reason`.
    const char *text = strerror_r(error, reason, sizeof reason);
    complain("%s: %s\n", message, text);
    errno = error;
}
