#include "report/report_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool write_all(int fd, const void *bytes, size_t length)
{
    const char *at = static_cast<const char *>(bytes);
    while (length > 0) {
        ssize_t written = write(fd, at, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false; // a full file system, or a file size limit
        at += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool publish_report(const char *path, const char *temporary_path, const void *bytes, size_t length)
{
    // The daemon usually runs as root in /tmp: a link planted at the
    // temporary name must never be followed, or any file could be
    // overwritten. Remove whatever is there, then create exclusively, which
    // fails rather than follow a link that reappears in between.
    if (unlink(temporary_path) != 0 && errno == EISDIR)
        rmdir(temporary_path);
    int fd = open(temporary_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false; // skip this update; the relay goes on
    // Readers are other programs: the mode must not depend on our umask.
    bool whole = fchmod(fd, 0644) == 0 && write_all(fd, bytes, length);
    if (close(fd) != 0)
        whole = false;
    // A short file must never replace a good one.
    if (!whole || rename(temporary_path, path) != 0) {
        unlink(temporary_path);
        return false;
    }
    return true;
}
