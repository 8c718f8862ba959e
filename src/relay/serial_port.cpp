#include "relay/serial_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "app/messages.h"
#include "app/settings.h"

std::atomic<int> ttyfd{-1};
std::mutex serial_write_lock;

const char *const device_list[4] = {"/dev/GPS", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"};

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

int open_serial_from(const char *const *paths, size_t count, int baud)
{
    int fd = -1;
    for (size_t i = 0; i < count && fd < 0; i++)
        fd = open(paths[i], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fd == 0) {
        // Descriptor 0 would read as "no device" and leak on every retry.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0)
            return -1;
        fd = moved;
    }
    termios line;
    memset(&line, 0, sizeof line);
    tcgetattr(fd, &line);
    configure_line(&line, baud);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        complain_errno("Unable to configure serial port");
        close(fd); // retried every cycle: keeping it would leak a descriptor each time
        return -1;
    }
    return fd;
}

int open_serial()
{
    return open_serial_from(device_list, sizeof device_list / sizeof device_list[0], settings.baud);
}

void write_paced(int fd, const char *bytes, size_t n)
{
    const timespec pause = {0, 500 * 1000};
    for (size_t i = 0; i < n; i++) {
        ssize_t written;
        do
            written = write(fd, bytes + i, 1);
        while (written < 0 && errno == EINTR);
        // A failed byte is not retried, but once the device is gone the rest
        // of the unit cannot arrive either: stop rather than hold the lock
        // for half a millisecond per byte that goes nowhere.
        if (written < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF))
            return;
        nanosleep(&pause, nullptr);
    }
}

void serial_write(const char *bytes, size_t n)
{
    if (ttyfd.load() <= 0)
        return;
    std::lock_guard<std::mutex> hold(serial_write_lock);
    int fd = ttyfd.load(); // may have been closed while we waited for the lock
    if (fd > 0)
        write_paced(fd, bytes, n);
}

void serial_close()
{
    std::lock_guard<std::mutex> hold(serial_write_lock);
    int fd = ttyfd.exchange(-1);
    if (fd > 0)
        close(fd);
}
