// SPDX-License-Identifier: BSD-2-Clause
// The receiver on a serial line, played by a pseudo-terminal in the private /dev.
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "harness.h"
#include "relay/serial_port.h"

namespace {

using SerialDevice = DaemonTest;

// A device's line settings; those the daemon sets, as one value to compare.
termios settings_of(const std::string &device)
{
    termios t = {};
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(tcgetattr(fd, &t), 0) << device;
    close(fd);
    return t;
}
auto line_mode(const termios &t)
{
    return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, t.c_line,
                           std::vector<int>(t.c_cc, t.c_cc + NCCS));
}

TEST_F(SerialDevice, TheLineIsConfiguredAndUnpluggedIsClosedOnceAndPluggedBackIsReopenedConfiguredAndRelayed)
{
    // The line mode is its unit test's business; here the device ends up in it, at the speed asked, at each open.
    ASSERT_GE(catcher(), 0);
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    termios expected = settings_of(gps.slave);
    configure_line(&expected, 57600);
    int first = started({"-s", "-b", "57600"});
    ASSERT_GT(first, 0);
    EXPECT_EQ(line_mode(settings_of(gps.slave)), line_mode(expected));
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
    EXPECT_EQ(line_mode(settings_of(gps.slave)), line_mode(expected));
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

    // Ready in the same cycle, the UDP line goes first. The daemon is stopped while both wait, so that one
    // poll sees both; a few times, as the poll may still see the serial line alone now and then.
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

    // A line longer than the terminal keeps reaches the daemon with its middle gone: dropped and counted, and the
    // next line is whole.
    std::string before = value_of(nth(said_on_request(*d, 0), 0), "drop_fragments");
    emit(gps, std::string(4040, 'j') + as_sent(example_gga));
    emit(gps, as_sent(example_gga));
    EXPECT_EQ(broadcast(), example_gga);
    EXPECT_EQ(value_of(nth(said_on_request(*d, 0), 0), "drop_fragments"), std::to_string(std::stoi(before) + 1));
}

// gpsfanout(8), EXIT STATUS: a signal that ends the daemon ends it as that signal, whether the daemon caught it to
// discard the device's output first or not, so a shell shows 128 plus its number (130 after Ctrl-C), and whatever
// disposition it inherited.
TEST_F(SerialDevice, AnEndingSignalEndsTheDaemonAsThatSignalWithOrWithoutAReceiver)
{
    for (bool inherited_ignored : {false, true}) // and blocked: a script's background job, nohup, a supervisor
    for (bool receiver : {true, false})
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(strsignal(signal_number)) + (receiver ? " with a receiver" : " without") +
                         (inherited_ignored ? ", inherited ignored and blocked" : ""));
            sigset_t ending, before;
            sigemptyset(&ending);
            sigaddset(&ending, signal_number);
            if (inherited_ignored) { // what the daemon is started with, and then ours again
                signal(signal_number, SIG_IGN);
                pthread_sigmask(SIG_BLOCK, &ending, &before);
            }
            int fd = receiver ? started_with_receiver() : started();
            if (inherited_ignored) {
                pthread_sigmask(SIG_SETMASK, &before, nullptr);
                signal(signal_number, SIG_DFL);
            }
            ASSERT_NE(fd, -2) << "not started";
            ASSERT_EQ(fd > 0, receiver) << fd;
            ASSERT_EQ(kill(d->pid, signal_number), 0);
            int status = wait_exit(*d);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
            stop_daemon(*d);
            if (receiver)
                unplug_receiver(&gps);
        }
}

} // namespace
