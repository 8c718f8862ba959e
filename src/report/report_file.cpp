// SPDX-License-Identifier: BSD-2-Clause
#include "report/report_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The ".tmp" that a fresh name keeps after the letters mkostemps fills in:
// every temporary report name ends so.
constexpr int fresh_suffix_length = 4;

static bool write_all(int fd, const void *bytes, size_t length)
{
    const char *at = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t written = write(fd, at, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO;
        if (written <= 0)
            return false; // a full file system, or a file size limit
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

// The fixed temporary name, created afresh; -1 when it cannot be.
static int create_fixed_temporary(const char *temporary_path)
{
    // The daemon usually runs as root in /tmp: a link planted at the
    // temporary name must never be followed, or any file could be
    // overwritten. Always create exclusively, which fails rather than follow
    // a link or open a FIFO. Only when something stands there is it removed
    // and the name tried once more; rmdir takes only an empty directory:
    // what someone keeps in one is never thrown away. The mode is right
    // from the start: the daemon's umask is fixed at 022.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = open(temporary_path, flags, 0644);
    if (fd >= 0 || errno != EEXIST)
        return fd;
    if (unlink(temporary_path) != 0 && errno == EISDIR)
        rmdir(temporary_path);
    return open(temporary_path, flags, 0644);
}

// A name nobody else can have made, beside `path`, created exclusively
// (mode 0600 until fchmod); -1 with errno when it cannot be.
static int create_fresh_temporary(const char *path, char *name, size_t capacity)
{
    int length = snprintf(name, capacity, "%s.XXXXXX.tmp", path);
    if (length < 0 || static_cast<size_t>(length) >= capacity) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return mkostemps(name, fresh_suffix_length, O_CLOEXEC);
}

int publish_report(const char *path, const char *temporary_path, const void *bytes, size_t length)
{
    char fresh[PATH_MAX];
    const char *temporary = temporary_path;
    int fd = create_fixed_temporary(temporary_path);
    int error = 0;
    if (fd < 0) {
        // What stands at the fixed name cannot be cleared: the report must
        // not freeze on it.
        temporary = fresh;
        fd = create_fresh_temporary(path, fresh, sizeof fresh);
        if (fd < 0)
            return errno; // skip this update; the relay goes on
        // Readers are other programs; a fresh name starts as 0600.
        if (fchmod(fd, 0644) != 0)
            error = errno;
    }
    if (error == 0 && !write_all(fd, bytes, length))
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    // A short file must never replace a good one.
    if (error == 0 && rename(temporary, path) != 0)
        error = errno;
    if (error != 0)
        unlink(temporary);
    return error;
}
