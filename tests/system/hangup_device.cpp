// Preloaded into the daemon: "/dev/GPS" opens as a terminal that reports a
// hang-up and nothing else, as some serial adapters do when the far end
// goes: a pty master whose slave was opened and closed once.
#include <cstdarg>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using open_call = int (*)(const char *, int, ...);
using openat_call = int (*)(int, const char *, int, ...);

static int hung_up_terminal(int flags)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | (flags & (O_NONBLOCK | O_CLOEXEC)));
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return -1;
    auto real_open = reinterpret_cast<open_call>(dlsym(RTLD_NEXT, "open"));
    int slave = real_open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave >= 0)
        close(slave);
    return master;
}

static mode_t mode_of(int flags, va_list rest)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(rest, mode_t) : 0;
}

static int open_as(const char *name, const char *path, int flags, mode_t mode)
{
    if (strcmp(path, "/dev/GPS") == 0)
        return hung_up_terminal(flags);
    return reinterpret_cast<open_call>(dlsym(RTLD_NEXT, name))(path, flags, mode);
}

static int openat_as(const char *name, int dir, const char *path, int flags, mode_t mode)
{
    if (strcmp(path, "/dev/GPS") == 0)
        return hung_up_terminal(flags);
    return reinterpret_cast<openat_call>(dlsym(RTLD_NEXT, name))(dir, path, flags, mode);
}

extern "C" {
int open(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    mode_t mode = mode_of(flags, rest);
    va_end(rest);
    return open_as("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    mode_t mode = mode_of(flags, rest);
    va_end(rest);
    return open_as("open64", path, flags, mode);
}

int openat(int dir, const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    mode_t mode = mode_of(flags, rest);
    va_end(rest);
    return openat_as("openat", dir, path, flags, mode);
}

int openat64(int dir, const char *path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    mode_t mode = mode_of(flags, rest);
    va_end(rest);
    return openat_as("openat64", dir, path, flags, mode);
}
}
