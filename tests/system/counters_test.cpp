// SPDX-License-Identifier: BSD-2-Clause
// SIGUSR1: the daemon says what it has done as one line of counters, and the
// relay goes on while that line waits to be said.
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using Counters = DaemonTest;

// The value of `key` in a counters line ("" when it has none).
std::string value_of(const std::string &line, const std::string &key)
{
    size_t at = line.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return line.substr(at, line.find_first_of(" \n", at) - at);
}

TEST_F(Counters, TheLineCountsWhatHappenedAndTheRelayGoesOnWhileItWaitsToBeSaid)
{
    // Small send buffers, so that a client that reads nothing is felt soon.
    ASSERT_TRUE(write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    ASSERT_EQ(mkdir("/tmp/nmea.status", 0755), 0); // the status report cannot be published
    // The daemon's standard error is a FIFO that the test reads when it
    // chooses, so that it can also leave it full.
    ASSERT_EQ(mkfifo("/tmp/stderr", 0600), 0);
    int said_fd = own(open("/tmp/stderr", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(said_fd, 0);
    std::string said;
    size_t read_to = 0; // where the next counters line is looked for
    // Takes what has been said, waiting a tenth of a second for more; then
    // the next counters line, once whole.
    auto next_line = [&] {
        pollfd watch = {said_fd, POLLIN, 0};
        char buffer[4096];
        for (ssize_t got; poll(&watch, 1, 100) > 0 && (got = read(said_fd, buffer, sizeof buffer)) > 0;)
            said.append(buffer, static_cast<size_t>(got));
        size_t start = said.find("counters: ", read_to);
        size_t stop = start == std::string::npos ? start : said.find('\n', start);
        if (stop == std::string::npos)
            return std::string();
        read_to = stop + 1;
        return said.substr(start, read_to - start);
    };
    std::string line;
    auto ask = [&] {
        kill(d->pid, SIGUSR1);
        return eventually([&] { return !(line = next_line()).empty(); });
    };
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    daemon_options to_fifo = quiet;
    to_fifo.run_through = {"sh", "-c", "exec \"$0\" \"$@\" 2>/tmp/stderr"};
    start({"-s"}, to_fifo);
    long long begun = now_ms();

    // Two clients, seen registered in the counters rather than by join
    // lines, so that every text relayed is one the test counts.
    int reader = own(connect_when_listening());
    int stalled = own(connect_tcp(tcp_port, 4096));
    ASSERT_GE(reader, 0);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(eventually([&] {
        return ask() && value_of(line, "clients") == "2" && value_of(line, "device") == "open";
    }));

    // Texts from both inputs; the stalled client reads nothing from here on,
    // and misses texts once its backlog is full.
    std::string received;
    long udp_texts = 0;
    for (const std::string text : {"$GPTXT,from the receiver,1*00\n", "$GPTXT,from the receiver,2*00\n"}) {
        ASSERT_TRUE(emit(gps, as_sent(text)));
        ASSERT_TRUE(read_until(reader, &received, text));
    }
    for (const std::string &text : {example_gga, example_rmc, example_rmc}) {
        send_udp(as_sent(text));
        udp_texts++;
    }
    for (long n = 0; n < 400; n++) {
        send_udp(numbered_line(n, 400));
        udp_texts++;
        if (n % 50 == 49) {
            ASSERT_TRUE(read_until(reader, &received, "$GPTXT,seq," + std::to_string(n) + ",")) << n;
        }
    }
    unplug_receiver(&gps);
    ASSERT_TRUE(eventually([&] { return next_line(), said.find("No serial device") != std::string::npos; }));

    // Standard error full: the line waits to be said, and the relay goes on.
    int filler = own(open("/tmp/stderr", O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(filler, 0);
    while (write(filler, "filler\n", 7) > 0) {
    }
    kill(d->pid, SIGUSR1);
    for (int n = 0; n < 10; n++) {
        const std::string text = "$GPTXT,while the line waits," + std::to_string(n) + "*00\n";
        long long sent = now_ms();
        send_udp(as_sent(text));
        udp_texts++;
        ASSERT_TRUE(read_until(reader, &received, text, 1000)) << "text " << n << " took over a second";
        usleep(static_cast<useconds_t>(std::max(0LL, 200 - (now_ms() - sent)) * 1000));
    }
    // Taken when asked for, before the texts that followed.
    ASSERT_TRUE(eventually([&] { return !(line = next_line()).empty(); }));
    EXPECT_GE(std::stol(value_of(line, "udp_in")), udp_texts - 10) << line;
    EXPECT_LT(std::stol(value_of(line, "udp_in")), udp_texts) << line;

    // The stalled client is cut after a minute without taking a byte.
    ASSERT_TRUE(eventually(
        [&] {
            usleep(500 * 1000);
            return ask() && value_of(line, "clients_cut") == "1";
        },
        120 * 1000))
        << line;
    long long up_s = (now_ms() - begun) / 1000;
    std::string drops = value_of(line, "drop_clients"), up = value_of(line, "up_s");
    // The record is published at each RMC; the status cannot be.
    EXPECT_EQ(line, "counters: up_s=" + up + " udp_in=" + std::to_string(udp_texts) +
                        " serial_in=2 bcast_failed=0 clients=1 clients_max=2 clients_refused=0 clients_cut=1"
                        " drop_clients=" + drops + " drop_device=0 drop_progress=0 device=closed"
                        " device_name=/dev/GPS device_opened=1 device_lost=1 reports=2 reports_failed=2\n");
    EXPECT_GT(std::stol(drops), 0) << "the stalled client never missed a text";
    EXPECT_LE(std::stol(drops), udp_texts);
    EXPECT_GE(std::stol(up), up_s - 1);
    EXPECT_LE(std::stol(up), up_s + 1);
}

} // namespace
