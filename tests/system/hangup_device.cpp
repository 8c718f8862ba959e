// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the daemon: "/dev/GPS" opens as a terminal that reports a hang-up and nothing else, as
// some serial adapters do when the far end goes: a pty master whose slave was opened and closed once.
// With GPSFANOUT_FAR_END set, it opens as a fresh pty master whose slave the test finds at that path:
// the test is then the receiver on the far side, and can send a last line and hang up at once.
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using open_call = int (*)(const char *, int, ...);
using openat_call = int (*)(int, const char *, int, ...);

static int preloaded_terminal(int flags)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | (flags & (O_NONBLOCK | O_CLOEXEC)));
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    if (const char *far_end = getenv("GPSFANOUT_FAR_END")) {
        unlink(far_end);
        return symlink(ptsname(master), far_end) == 0 ? master : -1;
    }
    int slave = reinterpret_cast<open_call>(dlsym(RTLD_NEXT, "open"))(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave >= 0)
        close(slave);
    return master;
}

// The body of each entry point below: the mode argument is there only with O_CREAT or O_TMPFILE; anything
// but "/dev/GPS" goes to the real call, `name` of type `call`, with the directory (for openat) first.
#define OPEN_OR_HANG_UP(call, name, ...)                                                                       \
    va_list rest;                                                                                              \
    va_start(rest, flags);                                                                                     \
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(rest, mode_t) : 0;                                  \
    va_end(rest);                                                                                              \
    if (strcmp(path, "/dev/GPS") == 0)                                                                         \
        return preloaded_terminal(flags);                                                                      \
    return reinterpret_cast<call>(dlsym(RTLD_NEXT, name))(__VA_ARGS__ path, flags, mode)

extern "C" {
int open(const char *path, int flags, ...) { OPEN_OR_HANG_UP(open_call, "open"); }
int open64(const char *path, int flags, ...) { OPEN_OR_HANG_UP(open_call, "open64"); }
int openat(int dir, const char *path, int flags, ...) { OPEN_OR_HANG_UP(openat_call, "openat", dir, ); }
int openat64(int dir, const char *path, int flags, ...) { OPEN_OR_HANG_UP(openat_call, "openat64", dir, ); }
}
