// SPDX-License-Identifier: BSD-2-Clause
#include "app/messages.h"

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "app/counters.h"
#include "app/detached_thread.h"
#include "app/settings.h"

// Room for the longest message: a relayed text of 8191 characters echoed whole.
constexpr size_t message_capacity = 8192 + 64;

// Progress waiting for the writer thread. Enough for some seconds of a busy
// relay; when it is full, standard output has stopped taking bytes and
// further messages are dropped whole.
constexpr size_t progress_queue_bytes = 64 * 1024;

// Filled by any thread that prints progress, emptied by progress_writer;
// all of it guarded by progress_lock.
static std::mutex progress_lock;
static std::condition_variable progress_waiting;
static char progress_queue[progress_queue_bytes];
static size_t progress_queued = 0;  // bytes in progress_queue, from its start
// Set once by messages_start, before the threads that print start: the
// writer thread runs, so progress is shown.
static bool progress_shown = false;

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

void messages_start()
{
    if (settings.daemon_mode) {
        openlog("gpsfanout", LOG_PID, LOG_DAEMON);
        return;
    }
    // A service's standard output is often the null device: the echo of
    // every line would cost a hand-over per line for nothing.
    if (stdout_is_null())
        return;
    progress_shown = start_detached_thread(progress_writer, nullptr, 64 * 1024);
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
    std::lock_guard<std::mutex> hold(progress_lock);
    // A cut message would be a torn line: drop it whole instead.
    if (length < 0 || static_cast<size_t>(length) >= sizeof message ||
        static_cast<size_t>(length) > progress_queue_bytes - progress_queued) {
        count_shared(counters.drop_progress);
        return;
    }
    memcpy(progress_queue + progress_queued, message, static_cast<size_t>(length));
    bool was_empty = progress_queued == 0;
    progress_queued += static_cast<size_t>(length);
    // Under load the writer takes many messages per wake-up.
    if (was_empty)
        progress_waiting.notify_one();
}

static void complain_text(const char *message)
{
    fputs(message, stderr);
    // Detached, standard error is the null device: the log is the only
    // place a failure can be read.
    if (settings.daemon_mode) {
        size_t length = strlen(message);
        if (length > 0 && message[length - 1] == '\n')
            length--; // the log keeps lines of its own
        syslog(LOG_ERR, "%.*s", static_cast<int>(length), message);
    }
}

void complain(const char *format, ...)
{
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0)
        return;
    complain_text(message); // a long one is cut, but still said
}

void notice(const char *text)
{
    complain("%s", text);
}

void complain_errno(const char *message)
{
    int error = errno;
    char reason[256];
    // The GNU strerror_r returns its text, which may not be in `reason`.
    const char *text = strerror_r(error, reason, sizeof reason);
    complain("%s: %s\n", message, text);
    errno = error;
}
