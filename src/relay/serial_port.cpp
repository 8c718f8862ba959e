// SPDX-License-Identifier: BSD-2-Clause
#include "relay/serial_port.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "base/counters.h"
#include "base/detached_thread.h"
#include "base/messages.h"
#include "base/settings.h"

std::atomic<int> ttyfd{-1};
std::mutex serial_write_lock;
unsigned serial_generation = 0;

// The descriptor a closer thread is closing, -1 when none.
static std::atomic<int> closing_fd{-1};

const char *const device_list[device_count] = {"/dev/GPS", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};

// What open_serial has said so far; relay_thread only.
static serial_lookout lookout = {0, false};

speed_t speed_constant(int baud)
{
    switch (baud) {
    case 110: return B110;
    case 300: return B300;
    case 1200: return B1200;
    case 2400: return B2400;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B4800;
    }
}

void configure_line(termios *t, int baud)
{
    t->c_oflag = OPOST | ONLCR;
    t->c_lflag = ICANON;
    t->c_cflag = speed_constant(baud) | CRTSCTS | CS8 | CLOCAL | CREAD;
    t->c_cc[VEOF] = 4;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    static const int disabled[] = {VINTR, VQUIT, VERASE, VKILL, VEOL2, VSWTC, VSTART,
                                   VSTOP, VSUSP, VREPRINT, VDISCARD, VWERASE, VLNEXT, VEOL};
    for (int index : disabled)
        t->c_cc[index] = 0;
}

int open_serial_from(const char *const *paths, size_t count, int baud, serial_search *found)
{
    found->fd = -1;
    found->refused = 0;
    found->tried = 0;
    int fd = -1;
    if (count > device_count)
        count = device_count;
    // Non-blocking for good: the relay must never wait on the device, for
    // carrier at the open or for room on a line whose CTS never rises.
    for (size_t i = 0; i < count && fd < 0; i++) {
        fd = open(paths[i], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        found->open_errors[i] = fd < 0 ? errno : 0;
        found->tried = i + 1;
    }
    if (fd < 0)
        return -1;
    if (fd == 0) {
        // Descriptor 0 would read as "no device" and leak on every retry.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) {
            found->refused = errno;
            return -1;
        }
        fd = moved;
    }
    termios line;
    memset(&line, 0, sizeof line);
    tcgetattr(fd, &line);
    configure_line(&line, baud);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        found->refused = errno != 0 ? errno : EINVAL;
        close(fd); // retried later: keeping it would leak a descriptor each time
        return -1;
    }
    found->fd = fd;
    return fd;
}

void say_serial_search(serial_lookout *said, const serial_search &found, const char *const *paths)
{
    if (found.fd > 0) {
        said->refused_said = 0;
        said->absent_said = false; // once it is gone, the search is news again
        return;
    }
    if (found.refused != 0) {
        if (said->refused_said != found.refused) {
            errno = found.refused;
            complain_errno("Unable to configure serial port");
        }
        said->refused_said = found.refused;
        return;
    }
    said->refused_said = 0;
    if (said->absent_said)
        return;
    said->absent_said = true;
    // Which names, and why each failed: a missing adapter reads differently
    // from a device the daemon may not open.
    char list[512];
    size_t used = 0;
    list[0] = '\0';
    for (size_t i = 0; i < found.tried; i++) {
        int n = snprintf(list + used, sizeof list - used, "%s%s (%s)", i > 0 ? ", " : "", paths[i],
                         strerror(found.open_errors[i]));
        if (n < 0 || static_cast<size_t>(n) >= sizeof list - used)
            break; // four names always fit; never print a cut entry
        used += static_cast<size_t>(n);
    }
    complain("No serial device: %s\n", list);
}

int open_serial()
{
    serial_search found;
    int fd = open_serial_from(device_list, device_count, settings.baud, &found);
    say_serial_search(&lookout, found, device_list);
    if (fd > 0) {
        count_one(counters.device_opened);
        counters.device.store(static_cast<int>(found.tried) - 1, std::memory_order_relaxed);
    }
    return fd;
}

void serial_publish(int fd)
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    ttyfd = fd;
    serial_generation++;
}

static void *close_device(void *argument)
{
    close(static_cast<int>(reinterpret_cast<intptr_t>(argument)));
    closing_fd.store(-1);
    return nullptr;
}

void serial_close()
{
    int fd;
    {
        std::lock_guard<std::mutex> hold(serial_write_lock);
        fd = ttyfd.exchange(-1);
        if (fd <= 0)
            return;
        // What waits in the driver would reach the next receiver stale, and
        // a close waits for it to drain.
        tcflush(fd, TCOFLUSH);
    }
    // The number stays taken until the closer is done, so nothing new can be
    // opened under it meanwhile; no writer uses it, since ttyfd no longer
    // names it.
    closing_fd.store(fd);
    void *handed = reinterpret_cast<void *>(static_cast<intptr_t>(fd));
    if (!start_detached_thread(close_device, handed, 64 * 1024))
        close_device(handed);
}

bool serial_closing()
{
    return closing_fd.load() != -1;
}

// Runs in a signal handler: only async-signal-safe calls.
static void discard_and_end(int signal_number)
{
    int fd = ttyfd.load();
    if (fd > 0)
        tcflush(fd, TCOFLUSH);
    signal(signal_number, SIG_DFL);
    raise(signal_number); // delivered as soon as the handler returns
}

void serial_discard_at_exit()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = discard_and_end;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP})
        sigaction(signal_number, &action, nullptr);
}
