// SPDX-License-Identifier: BSD-2-Clause
// The receiver on a serial line, played by a pseudo-terminal in the private /dev.
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "harness.h"
#include "relay/serial_port.h"

namespace {

using SerialDevice = DaemonTest;

bool line_settings(const std::string &device, termios *t)
{
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    bool read = fd >= 0 && tcgetattr(fd, t) == 0;
    close(fd);
    return read;
}

TEST_F(SerialDevice, TheLineIsConfiguredAtEachSpeed)
{
    // What the daemon's line mode is, its unit test says; here the device
    // must end up in it, at the speed asked for.
    const struct {
        std::vector<std::string> args;
        int baud;
    } rows[] = {{{"-s"}, 4800}, {{"-s", "-b", "57600"}, 57600}};
    for (auto &row : rows)
        [&] { // a failed check ends its own row only
            SCOPED_TRACE(row.baud);
            termios expected, t;
            ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
            ASSERT_TRUE(line_settings(gps.slave, &expected));
            configure_line(&expected, row.baud);
            ASSERT_GT(started(row.args), 0);
            ASSERT_TRUE(line_settings(gps.slave, &t));
            EXPECT_EQ(t.c_iflag, expected.c_iflag);
            EXPECT_EQ(t.c_oflag, expected.c_oflag);
            EXPECT_EQ(t.c_cflag, expected.c_cflag);
            EXPECT_EQ(t.c_lflag, expected.c_lflag);
            EXPECT_EQ(t.c_line, expected.c_line);
            EXPECT_EQ(std::vector<int>(t.c_cc, t.c_cc + NCCS), std::vector<int>(expected.c_cc, expected.c_cc + NCCS));
            stop_daemon(*d);
        }();
}

TEST_F(SerialDevice, UnpluggedIsClosedOnceAndPluggedBackIsReopenedAndRelayed)
{
    ASSERT_GE(catcher(), 0);
    int first = started_with_receiver();
    ASSERT_GT(first, 0);
    unplug_receiver(&gps);
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd " + std::to_string(first) + "\n"));
    // Two timeouts later it has still said so only once.
    size_t closing = stdout_of(*d).find("Closing ttyfd");
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, closing));
    size_t timeout = stdout_of(*d).find("POLL timeout: ttyfd = -1\n", closing);
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, timeout + 1));
    std::string out = stdout_of(*d);
    EXPECT_EQ(out.find("Closing ttyfd", closing + 1), std::string::npos) << out;

    long long plugged = now_ms();
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    EXPECT_GT(reported_fd(*d, "Opened ttyfd = ", out.size()), 0);
    EXPECT_LT(now_ms() - plugged, 1500 + 1000); // within one idle cycle, with room for scheduling
    // Its lines are relayed and echoed with a single line feed.
    emit(gps, "$GPGGA,back again\r\n");
    EXPECT_EQ(broadcast(), "$GPGGA,back again\n");
    EXPECT_TRUE(wait_stdout(*d, "$GPGGA,back again\n"));
}

TEST_F(SerialDevice, LinesGoBackToTheReceiverButAisDoesNotAndInputsReadyTogetherAreBothRelayed)
{
    ASSERT_GE(catcher(), 0);
    ASSERT_GT(started_with_receiver({"-s", "-w"}), 0);
    const std::string vdm = "!AIVDM,1,1,,A,13aEOK?P00PD2wVMdLDRhgvL289?,0*26\n";
    const std::string vdo = "!AIVDO,1,1,,,B5NJ;PP005l4ot5Isbl03wsUkP06,0*76\n";
    for (const std::string &text : {vdm, vdo, example_gga})
        send_udp(as_sent(text));
    EXPECT_EQ(broadcast(), vdm); // AIS is still broadcast
    EXPECT_EQ(broadcast(), vdo);
    EXPECT_EQ(broadcast(), example_gga);
    std::string line;
    // The device's ONLCR turns the relayed LF back into CR LF.
    ASSERT_TRUE(read_until(gps.master, &line, "\r\n"));
    EXPECT_EQ(line, on_the_line(example_gga));

    // Paced: one byte per 500 microseconds at the most.
    line.clear();
    const std::string text = "$GPTXT," + std::string(192, 'p') + "\r\n";
    long long start = now_ms();
    send_udp(text);
    ASSERT_TRUE(read_until(gps.master, &line, "\r\n"));
    EXPECT_EQ(line, text);
    EXPECT_GE(now_ms() - start, static_cast<long long>(text.size() - 1) / 2 - 1);
    EXPECT_EQ(broadcast(), "$GPTXT," + std::string(192, 'p') + "\n");

    // Ready in the same cycle, the UDP line goes first. The daemon is
    // stopped while both wait, so that one poll sees both; a few times, as
    // the poll may still see the serial line alone now and then.
    for (int round = 0; round < 5; round++) {
        const std::string serial = "$GPTXT,serial second " + std::to_string(round) + "\n";
        const std::string udp = "$GPTXT,udp first " + std::to_string(round) + "\n";
        ASSERT_TRUE(stop_all_threads(*d));
        int queue = open(gps.slave.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(queue, 0);
        emit(gps, as_sent(serial));
        send_udp(as_sent(udp));
        int waiting = 0;
        eventually([&] { return ioctl(queue, FIONREAD, &waiting) != 0 || waiting > 0; });
        close(queue);
        ASSERT_GT(waiting, 0);
        ASSERT_EQ(kill(d->pid, SIGCONT), 0);
        EXPECT_EQ(broadcast(), udp) << round;
        EXPECT_EQ(broadcast(), serial) << round;
    }

    // A UDP fragment survives a serial line that arrives before its end.
    send_udp("$GPGGA,fragment");
    emit(gps, "$GPRMC,in between\r\n");
    EXPECT_EQ(broadcast(), "$GPRMC,in between\n");
    send_udp(",completed\r\n");
    EXPECT_EQ(broadcast(), "$GPGGA,fragment,completed\n");
}

} // namespace
