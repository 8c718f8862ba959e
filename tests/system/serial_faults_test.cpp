// SPDX-License-Identifier: BSD-2-Clause
// A receiver that misbehaves and clients that flood it: the relay goes on at its own pace whatever the line does.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "harness.h"
#include "load_stats.h"

namespace {

using SerialFaults = DaemonTest;

// A text as relayed, told apart by what it is for and its number.
std::string numbered(const char *what, int i)
{
    return "$GPTXT," + std::string(what) + " " + std::to_string(i) + "\n";
}

// The daemon with "/dev/GPS" a device that only hangs up; with `far_end`, what is written there reaches it first.
daemon_options hanging_up(const char *far_end = nullptr)
{
    const char *asan = getenv("ASAN_OPTIONS");
    daemon_options options;
    options.environment = {std::string("LD_PRELOAD=") + GPSFANOUT_HANGUP_DEVICE,
                           std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"};
    if (far_end != nullptr)
        options.environment.push_back(std::string("GPSFANOUT_FAR_END=") + far_end);
    return options;
}

TEST_F(SerialFaults, AFloodingClientDelaysNeitherTheRelayNorItsLinesOnTheDevice)
{
    // At the fastest speed, the pause per byte is the 500 microseconds the flood below is sized for.
    ASSERT_GT(started_with_receiver({"-s", "-w", "-b", "115200"}), 0);
    int reader = client();
    ASSERT_GE(reader, 0);
    int flooder = own(connect_tcp());
    ASSERT_GE(flooder, 0);
    std::string received;
    receiver_watch line(gps);
    // Four chunks of 4 KB, each 64 lines: eight seconds of paced output, far more than the relaying below lasts.
    std::string chunk;
    for (int i = 0; i < 64; i++)
        chunk += std::string(63, '#') + "\n";
    std::thread flood([&] {
        for (int i = 0; i < 4; i++)
            if (send(flooder, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size()))
                return;
    });

    std::vector<long long> sent(10);
    for (size_t i = 0; i < sent.size(); i++) {
        sent[i] = now_ms();
        send_udp(as_sent(numbered("relay", static_cast<int>(i))));
        ASSERT_TRUE(read_until(reader, &received, numbered("relay", static_cast<int>(i)), 1000)) << i;
        usleep(200 * 1000);
    }
    flood.join();
    // Every client byte arrives in the end: it waited, it was not dropped.
    const long all = 4 * 64 * 63;
    eventually([&] {
        std::string bytes = line.seen();
        return std::count(bytes.begin(), bytes.end(), '#') >= all;
    }, 30000);
    line.stop();
    EXPECT_EQ(std::count(line.bytes.begin(), line.bytes.end(), '#'), all);
    for (size_t i = 0; i < sent.size(); i++) {
        // Whole and unmixed: the line stands in one piece between units.
        auto arrived = std::find_if(line.lines.begin(), line.lines.end(), [&](auto &came) {
            return came.first == on_the_line(numbered("relay", static_cast<int>(i)));
        });
        ASSERT_NE(arrived, line.lines.end()) << "relay " << i << " never reached the device whole";
        EXPECT_LT(arrived->second - sent[i], 5000) << "relay " << i;
    }
}

TEST_F(SerialFaults, ARefusingOrMissingDeviceIsLookedForAtTheUsualPaceAndSaidOnce)
{
    // A device that opens but is no terminal: every look for it fails.
    ASSERT_TRUE(write_file("/dev/GPS", ""));
    int looks = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Closes are watched too: the queue would fold repeated opens into one.
    ASSERT_GE(inotify_add_watch(looks, "/dev/GPS", IN_OPEN | IN_CLOSE), 0);
    ASSERT_EQ(started({"-s"}), -1);
    ASSERT_TRUE(wait_stderr(*d, "Unable to configure serial port: "));
    int start_fds = count_fds(d->pid);
    // Traffic makes the cycles come fast: each line goes after the echo of the last, so each is a cycle.
    long long begun = now_ms();
    int lines = 0;
    while (now_ms() - begun < 3000) {
        ASSERT_TRUE(relay(numbered("cycle", lines)));
        lines++;
    }
    long long elapsed = now_ms() - begun;
    long opens = 0;
    inotify_event events[64];
    for (ssize_t got; (got = read(looks, events, sizeof events)) > 0;)
        for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof(inotify_event)); i++)
            opens += (events[i].mask & IN_OPEN) != 0;
    close(looks);
    EXPECT_GT(lines, 100);
    EXPECT_LE(opens, elapsed / 1500 + 2) << lines << " lines";
    EXPECT_EQ(count_fds(d->pid), start_fds);

    // Gone: the names tried are said once.
    ASSERT_EQ(unlink("/dev/GPS"), 0);
    const std::string listed = "No serial device: /dev/GPS (No such file or directory), /dev/ttyUSB0 (No such "
                               "file or directory), /dev/ttyUSB1 (No such file or directory), /dev/ttyUSB2 (No "
                               "such file or directory)\n";
    ASSERT_TRUE(wait_stderr(*d, listed));
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, stdout_of(*d).size()));
    ASSERT_TRUE(wait_stdout(*d, "POLL timeout: ttyfd = -1\n", patience_ms, stdout_of(*d).size()));
    EXPECT_EQ(stderr_of(*d), "Unable to configure serial port: Inappropriate ioctl for device\n" + listed);
}

// A relayed line of 64 bytes on the wire, numbered.
std::string timed_line(int i)
{
    char text[80];
    snprintf(text, sizeof text, "$GPTXT,01,01,02,line %03d,%033d*00\n", i, 0);
    return text;
}

TEST_F(SerialFaults, StuckTheDeviceHoldsUpNothingAtItsRealSpeedGetsLinesWholeAndInTimeAndClosedDiscardsTheRest)
{
    ASSERT_GT(started_with_receiver({"-s", "-w"}), 0); // 4800 baud: 480 bytes a second
    int reader = client();
    ASSERT_GE(reader, 0);

    // Nobody reads the receiver's side: once the join lines are out, fill its output queue, as a receiver that
    // never raises CTS would leave it, until the master's side, which takes its share a moment later, holds
    // no more. A master in packet mode hears when the daemon discards what waits there.
    char buffer[4096];
    pollfd waiting = {gps.master, POLLIN, 0};
    while (poll(&waiting, 1, 200) > 0 && read(gps.master, buffer, sizeof buffer) > 0) {
    }
    int filler = open(gps.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), on = 1, unread = -1;
    ASSERT_GE(filler, 0);
    ASSERT_EQ(ioctl(gps.master, TIOCPKT, &on), 0);
    std::string block;
    while (block.size() < 1024)
        block += "filler\n"; // no sentence: partial writes glue these, not the daemon
    ASSERT_TRUE(eventually([&] {
        while (write(filler, block.data(), block.size()) > 0) {
        }
        int before = unread;
        return ioctl(gps.master, FIONREAD, &unread) == 0 && unread > 0 && unread == before;
    }));
    close(filler);
    std::string received;
    for (int i = 0; i < 40; i++) { // nothing the device does may hold them up
        send_udp(as_sent(numbered("stuck", i)));
        ASSERT_TRUE(read_until(reader, &received, numbered("stuck", i), 1000)) << i;
    }
    pollfd discard = {gps.master, POLLPRI, 0};
    ASSERT_EQ(poll(&discard, 1, patience_ms), 1);
    on = 0;
    ASSERT_EQ(ioctl(gps.master, TIOCPKT, &on), 0);

    // Read again, until it goes quiet: lines that waited are written or dropped, so those relayed from
    // now on have room, and reach it whole. (A flush would leave the writer's queue full: a line sent
    // at once could be refused.) The discard tore a line; the torn piece stands on a line of its own.
    std::string line, drained;
    for (ssize_t got; poll(&waiting, 1, 200) > 0 && (got = read(gps.master, buffer, sizeof buffer)) > 0;)
        drained.append(buffer, static_cast<size_t>(got));
    for (const std::string &text : lines_of(drained))
        EXPECT_EQ(text.find('$', 1), std::string::npos) << "two sentences on one line: " << text;
    for (int i = 0; i < 5; i++) {
        send_udp(as_sent(numbered("after", i)));
        ASSERT_TRUE(read_until(gps.master, &line, on_the_line(numbered("after", i)))) << i;
    }

    // At its real speed, ten lines a second of 64 bytes: a third more than the line carries.
    const int lines = 150;
    std::vector<long long> sent(lines, -1);
    receiver_watch at_line_rate(gps, 480);
    long long start = now_ms();
    for (int i = 0; i < lines; i++) {
        sent[static_cast<size_t>(i)] = now_ms();
        send_udp(as_sent(timed_line(i)));
        long long next = start + (i + 1) * 100;
        if (next > now_ms())
            usleep(static_cast<useconds_t>((next - now_ms()) * 1000));
    }
    // What may still wait reaches the line, or is dropped: then it goes quiet.
    EXPECT_TRUE(eventually([&] { return now_ms() - at_line_rate.last_ms() > 3000; }));
    at_line_rate.stop();
    const auto &arrived = at_line_rate.lines;
    int previous = -1;
    for (auto &[line, when] : arrived) {
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "$GPTXT,01,01,02,line %d,", &i), 1) << line;
        ASSERT_GE(i, 0);
        ASSERT_LT(i, lines);
        EXPECT_EQ(line, on_the_line(timed_line(i))) << "torn";
        EXPECT_GT(i, previous) << "out of order";
        EXPECT_LE(when - sent[static_cast<size_t>(i)], 3000) << "line " << i << " late";
        previous = i;
    }
    // More than fit were sent: some were dropped, and the line was kept busy.
    EXPECT_LT(arrived.size(), static_cast<size_t>(lines));
    EXPECT_GT(arrived.size(), static_cast<size_t>(lines) / 2);

    // Closed with output pending, the device has it discarded, which a packet-mode master hears of: a pty
    // throws nothing away itself, where a UART's driver empties its queue, so its close waits for nothing.
    on = 1;
    ASSERT_EQ(ioctl(gps.master, TIOCPKT, &on), 0);
    for (int i = 0; i < 3; i++)
        send_udp(as_sent(numbered("pending", i)));
    pollfd watch = {gps.master, POLLIN, 0};
    ASSERT_EQ(poll(&watch, 1, patience_ms), 1); // output waits there, unread
    // The end of the daemon closes the device too.
    ASSERT_EQ(kill(d->pid, SIGTERM), 0);
    int status = wait_exit(*d);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    bool discarded = false;
    char packet[4096];
    for (ssize_t got; !discarded && (got = read(gps.master, packet, sizeof packet)) > 0;)
        discarded = packet[0] & TIOCPKT_FLUSHWRITE;
    EXPECT_TRUE(discarded);
}

// An epoch of a 10-Hz receiver: eight sentences, three of them the parts of one GSV.
const char *const epoch[] = {"GPRMC,", "GPGGA,",     "GPGSA,",     "GPVTG,",
                             "GPZDA,", "GPGSV,3,1,", "GPGSV,3,2,", "GPGSV,3,3,"};
constexpr long kinds = 8;

// Line n of the epochs, numbered: 70 bytes on the line.
std::string epoch_line(long n)
{
    std::string text = "$" + std::string(epoch[n % kinds]) + std::to_string(1000000 + n).substr(1) + ",";
    text.resize(65, '0');
    return text + "*00\n";
}

// The number of an epoch line that reached the device whole, or -1.
long epoch_number(const std::string &line)
{
    for (long kind = 0; kind < kinds; kind++)
        if (line.rfind("$" + std::string(epoch[kind]), 0) == 0) {
            long n = atol(line.c_str() + strlen(epoch[kind]) + 1);
            return n % kinds == kind && line == on_the_line(epoch_line(n)) ? n : -1;
        }
    return -1;
}

TEST_F(SerialFaults, AFullLineCarriesTheNewestOfEachSentenceInTurnAndOneThatKeepsUpCarriesEveryLineInOrder)
{
    ASSERT_GT(started_with_receiver({"-s", "-w"}), 0); // 4800 baud: a line of 70 bytes takes 146 ms
    receiver_watch device(gps); // read as it comes: the daemon paces its writes at the line's speed
    udp_sender sender;
    std::vector<long long> sent;
    auto send_epochs = [&](long count, int period_ms) {
        for (long long e = 0, start = now_ms(); e < count; e++) {
            for (long kind = 0; kind < kinds; kind++) {
                sent.push_back(now_ms());
                ASSERT_TRUE(sender.send(as_sent(epoch_line(static_cast<long>(sent.size()) - 1))));
            }
            if (start + (e + 1) * period_ms > now_ms())
                usleep(static_cast<useconds_t>((start + (e + 1) * period_ms - now_ms()) * 1000));
        }
    };
    // Six lines a second, which the line carries.
    const long calm = 4 * kinds;
    send_epochs(calm / kinds, 1333);
    const std::string last_calm = on_the_line(epoch_line(calm - 1));
    ASSERT_TRUE(eventually([&] { return device.seen().find(last_calm) != std::string::npos; }));
    // Eighty a second, for ten seconds (GPSFANOUT_SOAK_SCALE times as long).
    const long long begun = now_ms();
    send_epochs(100 * soak_scale(), 100);
    const long long ended = now_ms();
    EXPECT_TRUE(eventually([&] { return now_ms() - device.last_ms() > 1500; }));
    device.stop();

    std::vector<long> order; // the numbers as they reached the device
    for (auto &[line, when] : device.lines) {
        order.push_back(epoch_number(line));
        ASSERT_GE(order.back(), 0) << "torn or unknown: " << line;
    }
    ASSERT_GE(order.size(), static_cast<size_t>(calm));
    for (long n = 0; n < calm; n++)
        EXPECT_EQ(order[static_cast<size_t>(n)], n) << "kept up, yet not every line in order";
    // Under the overload, measured in lines on the device, which the daemon writes at the line's pace.
    std::vector<size_t> last_of(kinds, calm - 1); // where each kind last reached the device
    std::vector<long long> gap_ms(kinds, 0), last_ms(kinds, begun);
    std::vector<uint32_t> ages;
    size_t stale = 0, most_ahead = 0, longest_round = 0;
    for (size_t i = calm; i < order.size(); i++) {
        long n = order[i], kind = n % kinds;
        long long first_byte = device.starts[i];
        // Every kind comes back within 2 s of line time: 13 lines.
        longest_round = std::max(longest_round, i - last_of[kind] - 1);
        EXPECT_GT(n, order[last_of[kind]]) << "an older line after a newer one of its kind";
        // A line waits at most for one line of each other kind, and the one being written when it came.
        size_t ahead = 0;
        for (size_t k = calm; k < i; k++)
            ahead += device.starts[k] > sent[static_cast<size_t>(n)];
        most_ahead = std::max(most_ahead, ahead);
        // No newer line of its kind was relayed before the line ahead of it began.
        size_t newer = static_cast<size_t>(n + kinds);
        stale += newer < sent.size() && sent[newer] < device.starts[i - 1];
        ages.push_back(static_cast<uint32_t>(first_byte - sent[static_cast<size_t>(n)]));
        gap_ms[kind] = std::max(gap_ms[kind], first_byte - last_ms[kind]);
        last_of[kind] = i;
        last_ms[kind] = first_byte;
    }
    std::string gaps;
    for (long kind = 0; kind < kinds; kind++) {
        longest_round = std::max(longest_round, order.size() - last_of[kind] - 1);
        gaps += " " + std::to_string(std::max(gap_ms[kind], ended - last_ms[kind]));
    }
    printf("overload: %zu of %zu lines reached the device; first byte p95 %u ms, max %u ms after the relay; longest "
           "gap per kind (ms):%s; lines with a newer of their kind relayed before the line ahead began: %zu\n",
           ages.size(), sent.size() - calm, percentile(&ages, 0.95), percentile(&ages, 1.0), gaps.c_str(), stale);
    EXPECT_LE(longest_round, 13u);
    EXPECT_LE(most_ahead, static_cast<size_t>(kinds) + 1);
    EXPECT_EQ(stale, 0u);
}

TEST_F(SerialFaults, ALineSentWithAHangUpIsRelayedFirstAndADeviceThatOnlyHangsUpIsLookedForAtTheUsualPace)
{
    if (getenv("GPSFANOUT_DAEMON_PREFIX") != nullptr)
        GTEST_SKIP() << "the device is preloaded into a native daemon only";
    ASSERT_GE(catcher(), 0);
    start({"-s"}, hanging_up("/dev/GPS-far"));
    ASSERT_GT(reported_fd(*d, "ttyfd = "), 0);
    int receiver = open("/dev/GPS-far", O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(receiver, 0);
    // The daemon reads the pty's master side, where no line discipline gathers lines as on its real device: the
    // receiver sends each line whole, CR LF and all, in one write. With output processing on, the pty would write
    // the text and its CR LF as two pieces, and a busy machine let the daemon read the text alone, a torn line.
    termios sends;
    ASSERT_EQ(tcgetattr(receiver, &sends), 0);
    sends.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ASSERT_EQ(tcsetattr(receiver, TCSANOW, &sends), 0);
    const std::string first = "$GPTXT,first words\r\n", last = "$GPTXT,last words\r\n";
    ASSERT_EQ(write(receiver, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    ASSERT_EQ(broadcast(), "$GPTXT,first words\n");
    // The line and the hang-up reach the daemon together.
    ASSERT_TRUE(stop_all_threads(*d));
    ASSERT_EQ(write(receiver, last.data(), last.size()), static_cast<ssize_t>(last.size()));
    close(receiver);
    ASSERT_EQ(kill(d->pid, SIGCONT), 0);
    EXPECT_EQ(broadcast(), "$GPTXT,last words\n");
    EXPECT_TRUE(wait_stdout(*d, "Closing ttyfd "));

    // A device that only hangs up is closed each time and looked for every 1.5 s: a few times in 3 s, not spinning.
    stop_daemon(*d);
    start({"-s"}, hanging_up());
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd ")) << stdout_of(*d);
    size_t from = stdout_of(*d).size();
    double cpu = cpu_used_over(d->pid, 3.0);
    std::string out = stdout_of(*d).substr(from);
    size_t closings = 0;
    for (size_t at = 0; (at = out.find("Closing ttyfd ", at)) != std::string::npos; at++)
        closings++;
    EXPECT_LT(cpu, 0.5) << "the loop spins";
    EXPECT_GE(closings, 1u) << out;
    EXPECT_LE(closings, 3u) << out;
}

} // namespace
