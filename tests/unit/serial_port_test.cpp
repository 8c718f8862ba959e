// SPDX-License-Identifier: BSD-2-Clause
// Opening and setting up the serial device, saying why none could be, and
// closing it without waiting and without sending what was left for it.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "descriptor_tools.h"
#include "relay/serial_port.h"

namespace {

TEST(SerialPort, LineSettingsTakeTheSpeedAndKeepInputFlagsAndUnlistedCharacters)
{
    const struct { int baud; speed_t constant; } table[] = {
        {110, B110},     {300, B300},     {1200, B1200},   {2400, B2400},     {4800, B4800}, {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {4801, B4800}, {0, B4800}};
    for (auto &row : table)
        EXPECT_EQ(speed_constant(row.baud), row.constant) << row.baud;

    termios t;
    memset(&t, 0x5a, sizeof t);
    const termios as_read = t;
    configure_line(&t, 57600);
    EXPECT_EQ(t.c_iflag, as_read.c_iflag);
    EXPECT_EQ(t.c_line, as_read.c_line);
    EXPECT_EQ(t.c_oflag, static_cast<tcflag_t>(OPOST | ONLCR));
    EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ICANON));
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(B57600 | CRTSCTS | CS8 | CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VEOF], 4);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    for (int index : {VINTR, VQUIT, VERASE, VKILL, VEOL2, VSWTC, VSTART, VSTOP, VSUSP, VREPRINT, VDISCARD,
                      VWERASE, VLNEXT, VEOL})
        EXPECT_EQ(t.c_cc[index], 0) << index;
    EXPECT_EQ(t.c_cc[VSWTC + 16], 0x5a); // entries past the named ones stay as read
}

// A pseudo-terminal: its slave stands for a receiver's device.
struct pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::string slave = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : "";
    ~pty() { close(master); }
};

bool same_file(int fd, const std::string &path)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && a.st_rdev == b.st_rdev && a.st_ino == b.st_ino;
}

TEST(SerialPort, TheFirstDeviceThatOpensIsUsedAndOneThatRefusesTheSettingsEndsTheSearch)
{
    pty first, second;
    char plain[] = "/tmp/serial-test-XXXXXX";
    close(mkstemp(plain));
    unlink(plain);
    const char *paths[] = {plain, "/nonexistent/ttyUSB0", first.slave.c_str(), second.slave.c_str()};
    serial_search found;
    int fd = open_serial_from(paths, 4, 4800, &found);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(found.fd, fd);
    EXPECT_TRUE(same_file(fd, first.slave));
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    // Non-blocking for good: the relay never waits on the device.
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
    EXPECT_EQ(open_serial_from(paths, 2, 4800, &found), -1); // neither of the first two exists
    EXPECT_EQ(found.tried, 2u);
    EXPECT_EQ(found.open_errors[0], ENOENT);
    EXPECT_EQ(found.refused, 0);

    // A plain file opens but is no terminal: the search stops there.
    close(open(plain, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    EXPECT_EQ(open_serial_from(paths, 4, 4800, &found), -1);
    EXPECT_EQ(found.refused, ENOTTY);
    EXPECT_EQ(found.tried, 1u);
    unlink(plain);
}

TEST(SerialPort, RepeatedFailuresAreSaidOnceUntilTheOutcomeChanges)
{
    const serial_search absent = {-1, 0, 4, {ENOENT, ENOENT, EACCES, ENOENT}};
    const serial_search refused = {-1, ENOTTY, 1, {0}};
    const serial_search refused_otherwise = {-1, EINVAL, 1, {0}};
    const serial_search opened = {5, 0, 1, {0}};
    const std::string listed = "No serial device: /dev/GPS (No such file or directory), /dev/ttyUSB0 (No such file "
                               "or directory), /dev/ttyUSB1 (Permission denied), /dev/ttyUSB2 (No such file or "
                               "directory)\n";
    const std::string refusal = "Unable to configure serial port: Inappropriate ioctl for device\n";
    // Each look in turn, and what it says.
    const struct { const serial_search *found; std::string said; } looks[] = {
        {&refused, refusal}, {&refused, ""},
        {&refused_otherwise, "Unable to configure serial port: Invalid argument\n"},
        {&absent, listed},   {&absent, ""},  {&refused, refusal},
        {&absent, ""}, // listed already, and no device has been open since
        {&opened, ""},       {&absent, listed}, // an open in between: said again
        {&opened, ""},       {&refused, refusal},
    };
    serial_lookout lookout = {0, false};
    int step = 0;
    for (auto &look : looks) {
        testing::internal::CaptureStderr();
        say_serial_search(&lookout, *look.found, device_list);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), look.said) << "look " << step;
        step++;
    }
}

TEST(SerialPort, ACloseDiscardsTheDevicesPendingOutputAndDoesNotHoldUpTheCaller)
{
    // A packet-mode master hears of the discard (a pty keeps the bytes, where
    // a UART's driver drops them and its close then waits for nothing).
    pty line;
    int on = 1;
    ASSERT_EQ(ioctl(line.master, TIOCPKT, &on), 0);
    int device = open(line.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GT(device, 0);
    ASSERT_EQ(write(device, "$GPTXT,stale\n", 13), 13);
    serial_publish(device);
    serial_close();
    ASSERT_TRUE(soon([] { return !serial_closing(); }));
    EXPECT_LT(fcntl(device, F_GETFD), 0);
    char packet[256];
    bool discarded = false;
    for (ssize_t got; !discarded && (got = read(line.master, packet, sizeof packet)) > 0;)
        discarded = packet[0] & TIOCPKT_FLUSHWRITE;
    EXPECT_TRUE(discarded);

    // A descriptor whose close waits, as a UART's last close waits for its output to drain: a TCP
    // connection with a linger, and output that its peer never takes.
    int pair[2];
    ASSERT_TRUE(tcp_pair(pair, 4096));
    device = pair[0];
    fill(device);
    const linger wait_on_close = {1, 3};
    ASSERT_EQ(setsockopt(device, SOL_SOCKET, SO_LINGER, &wait_on_close, sizeof wait_on_close), 0);
    serial_publish(device);
    auto begun = std::chrono::steady_clock::now();
    serial_close();
    // Back while the close still waits.
    EXPECT_TRUE(serial_closing());
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(2));
    EXPECT_EQ(ttyfd.load(), -1);
    EXPECT_TRUE(soon([] { return !serial_closing(); }));
    close(pair[1]);
}

} // namespace
