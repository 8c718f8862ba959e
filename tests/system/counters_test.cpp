// SPDX-License-Identifier: BSD-2-Clause
// SIGUSR1: the daemon says what it has done as one line of counters, and the
// relay goes on while that line waits to be said.
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

// The daemon's standard error, a FIFO that the test reads when it chooses,
// so that it can also leave it full.
struct said_stream {
    int fd = -1;
    std::string text;
    // Takes what is there, waiting up to timeout_ms for more.
    void take(int timeout_ms)
    {
        pollfd watch = {fd, POLLIN, 0};
        char buffer[4096];
        while (poll(&watch, 1, timeout_ms) > 0) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0)
                return;
            text.append(buffer, static_cast<size_t>(got));
            timeout_ms = 0;
        }
    }
};

using counter_line = std::map<std::string, std::string>;

// The first counters line at or after `from`, as key and value, its end in *end.
bool parse_counters(const std::string &text, size_t from, counter_line *line, size_t *end)
{
    size_t start = text.find("counters: ", from);
    size_t stop = start == std::string::npos ? start : text.find('\n', start);
    if (stop == std::string::npos)
        return false;
    std::istringstream words(text.substr(start + 10, stop - start - 10));
    line->clear();
    for (std::string word; words >> word;)
        (*line)[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    *end = stop + 1;
    return true;
}

class Counters : public DaemonTest {
protected:
    said_stream said;
    size_t read_to = 0; // where the next counters line is looked for

    // Asks for the counters and waits for the line.
    counter_line ask()
    {
        counter_line line;
        size_t end;
        kill(d->pid, SIGUSR1);
        for (long long deadline = now_ms() + patience_ms; now_ms() < deadline;) {
            said.take(100);
            if (parse_counters(said.text, read_to, &line, &end)) {
                read_to = end;
                return line;
            }
        }
        return line;
    }
};

TEST_F(Counters, TheLineCountsWhatHappenedAndTheRelayGoesOnWhileItWaitsToBeSaid)
{
    // Small send buffers, so that a client that reads nothing is felt soon.
    ASSERT_TRUE(write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    ASSERT_EQ(mkdir("/tmp/nmea.status", 0755), 0); // the status report cannot be published
    ASSERT_EQ(mkfifo("/tmp/stderr", 0600), 0);
    said.fd = own(open("/tmp/stderr", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(said.fd, 0);
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
        counter_line now = ask();
        return now["clients"] == "2" && now["device"] == "open";
    }));

    // Texts from both inputs; the stalled client reads nothing from here on,
    // and misses texts once its backlog is full.
    std::string received;
    long udp_texts = 0;
    const std::vector<std::string> from_receiver = {"$GPTXT,from the receiver,1*00\n",
                                                    "$GPTXT,from the receiver,2*00\n"};
    for (auto &text : from_receiver) {
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
    ASSERT_TRUE(eventually([&] {
        said.take(100);
        return said.text.find("No serial device") != std::string::npos;
    }));

    // Standard error full: the line waits to be said, and the relay goes on.
    int filler = own(open("/tmp/stderr", O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(filler, 0);
    const std::string filling = "filler\n";
    while (write(filler, filling.data(), filling.size()) > 0) {
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
    counter_line waited;
    size_t end;
    ASSERT_TRUE(eventually([&] {
        said.take(100);
        return parse_counters(said.text, read_to, &waited, &end);
    }));
    read_to = end;
    // Taken when asked for, before the texts that followed.
    EXPECT_GE(std::stol(waited["udp_in"]), udp_texts - 10);
    EXPECT_LT(std::stol(waited["udp_in"]), udp_texts);

    // The stalled client is cut after a minute without taking a byte.
    counter_line last;
    ASSERT_TRUE(eventually(
        [&] {
            last = ask();
            usleep(500 * 1000);
            return last["clients_cut"] == "1";
        },
        120 * 1000));
    long long up_s = (now_ms() - begun) / 1000;
    const counter_line expected = {
        {"udp_in", std::to_string(udp_texts)},
        {"serial_in", std::to_string(from_receiver.size())},
        {"bcast_failed", "0"},
        {"clients", "1"},
        {"clients_max", "2"},
        {"clients_refused", "0"},
        {"clients_cut", "1"},
        {"drop_clients", last["drop_clients"]},
        {"drop_device", "0"},
        {"drop_progress", "0"},
        {"device", "closed"},
        {"device_name", "/dev/GPS"},
        {"device_opened", "1"},
        {"device_lost", "1"},
        {"reports", "2"},        // the record, at each RMC
        {"reports_failed", "2"}, // the status, at each RMC
        {"up_s", last["up_s"]},
    };
    EXPECT_EQ(last, expected);
    EXPECT_GT(std::stol(last["drop_clients"]), 0) << "the stalled client never missed a text";
    EXPECT_LE(std::stol(last["drop_clients"]), udp_texts);
    EXPECT_GE(std::stol(last["up_s"]), up_s - 1);
    EXPECT_LE(std::stol(last["up_s"]), up_s + 1);
}

} // namespace
