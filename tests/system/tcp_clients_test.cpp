// SPDX-License-Identifier: BSD-2-Clause
// TCP clients of the real daemon: each gets every line relayed after it joined, whole and in order,
// whatever the others do; all that connect at once are served, idle ones lose their slots after a minute.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "harness.h"

namespace {

using TcpClients = DaemonTest;

// The lines of a stream but the join, settle and burst lines, run together.
std::string relayed_lines(const std::string &stream)
{
    std::string kept;
    for (auto &line : lines_of(stream))
        if (line.compare(0, 7, "$GPTXT,") != 0)
            kept += line;
    return kept;
}

// GGA texts as relayed, numbered first to last, each told apart by its number.
std::string numbered(int first, int last)
{
    std::string lines;
    for (int n = first; n <= last; n++)
        lines += "$GPGGA,12351" + std::to_string(n % 10) + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M," +
                 std::to_string(n) + ",*47\n";
    return lines;
}

// A connection the daemon has no slot for: closed at once, with nothing sent.
testing::AssertionResult refused_at_once(int fd)
{
    std::string got;
    bool closed = closed_by_daemon(fd, &got);
    close(fd);
    if (closed && got.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not closed at once; got \"" << got.substr(0, 80) << "\"";
}

TEST_F(TcpClients, AStalledClientHoldsUpNeitherTheRelayNorTheOthers)
{
    // Loopback send buffers would otherwise grow to megabytes and hide the stall.
    ASSERT_TRUE(write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    const long count = 3000 * soak_scale(), round = 100;
    for (int others : {1, client_slots - 1})
        [&] { // a failed check ends its own row only
            SCOPED_TRACE(std::to_string(others) + " other clients");
            start({}, quiet);
            client_pool pool;
            ASSERT_TRUE(start_pool(&pool, others));
            std::string stalled_stream;
            int stalled = client(&stalled_stream, 4096);
            ASSERT_GE(stalled, 0);

            // From here the stalled client reads nothing. Texts go in rounds, each once the last reached
            // every other client, so a held-up relay shows at once; each round opens with a text over the
            // pipe's atomic write size, the rest padded: far more in all than its pipe and socket hold.
            long long slowest = 0, round_start = 0;
            for (long n = 0; n < count; n++) {
                if (n % round == 0)
                    round_start = now_ms();
                send_udp(numbered_line(n, n % round == 0 ? 6000 : 200));
                if (n % round == round - 1) {
                    ASSERT_TRUE(all_reached(&pool, n)) << "text " << n << " did not arrive";
                    slowest = std::max(slowest, now_ms() - round_start);
                }
            }
            std::cout << "[ measured ] slowest round of " << round << " texts to " << others << " clients: " << slowest
                      << " ms\n";
            stop_pool(&pool);
            expect_unbroken(&pool, count - 1, true);

            // Now it reads again: whatever it gets are whole texts, in order,
            // with the ones it missed left out whole; then it is fed again.
            const std::string resumed = "$GPTXT,resumed*00\n";
            ASSERT_TRUE(eventually([&] {
                send_udp(as_sent(resumed));
                return read_until(stalled, &stalled_stream, resumed, 200);
            }));
            line_record got;
            take_bytes(&got, stalled_stream.data(), stalled_stream.find(resumed));
            long missed = got.gaps + (count - 1 - got.last) + got.first;
            std::cout << "[ measured ] the stalled client got " << got.count << " texts and missed " << missed << "\n";
            EXPECT_EQ(got.backwards, 0);
            EXPECT_EQ(got.foreign, 0) << (got.foreign ? got.foreign_lines[0].substr(0, 100) : "");
            EXPECT_GT(got.count, 0);
            EXPECT_GT(missed, 0) << "the stall was never felt; the test proves nothing";
            EXPECT_TRUE(running(*d));
            // Its line on request counts what it missed (and any "resumed" that met its pipe still full).
            sockaddr_in own = {};
            socklen_t own_length = sizeof own;
            getsockname(stalled, reinterpret_cast<sockaddr *>(&own), &own_length);
            const std::string its = "client: address=127.0.0.1 port=" + std::to_string(ntohs(own.sin_port)) + " ";
            size_t from = stderr_of(*d).size();
            kill(d->pid, SIGUSR1);
            std::string line;
            EXPECT_TRUE(eventually([&] {
                std::string said = stderr_of(*d).substr(from);
                size_t at = said.find(its), end = said.find('\n', at);
                line = at == std::string::npos || end == std::string::npos ? "" : said.substr(at, end - at) + " ";
                return !line.empty();
            }));
            size_t drops = line.find(" drop_texts=");
            EXPECT_GE(drops == std::string::npos ? -1 : atol(line.c_str() + drops + 12), missed) << line;
            leave(stalled);
        }();
}

TEST_F(TcpClients, AHundredSilentClientsConnectingAtOnceAreAllServedAndOneLeavingOrOneTooManyDisturbsNone)
{
    start({}, quiet);
    ASSERT_TRUE(listening_on(tcp_port));
    // All connect while the daemon cannot accept, as after an access point restarts; none ever sends.
    ASSERT_EQ(kill(d->pid, SIGSTOP), 0);
    std::vector<pollfd> clients;
    sockaddr_in address = loopback(tcp_port);
    for (int i = 0; i < client_slots; i++) { // not waiting for the handshake
        clients.push_back({own(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)), POLLOUT, 0});
        ASSERT_GE(clients.back().fd, 0) << i;
        ASSERT_TRUE(connect(clients.back().fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 ||
                    errno == EINPROGRESS);
    }
    // Whatever handshakes the kernel completes on its own are done.
    eventually(
        [&] {
            poll(clients.data(), clients.size(), 100);
            return std::all_of(clients.begin(), clients.end(), [](pollfd &c) { return c.revents & POLLOUT; });
        },
        2000);
    ASSERT_EQ(kill(d->pid, SIGCONT), 0);

    // Lines are relayed until every client has one, or the time is up.
    std::vector<std::string> streams(clients.size());
    int served = 0;
    eventually([&] {
        send_udp("$GPTXT,burst*00\r\n");
        while (served < client_slots && read_until(clients[served].fd, &streams[served], "$GPTXT,burst*00\n", 200))
            served++;
        return served == client_slots;
    });
    EXPECT_EQ(served, client_slots) << "clients that never got a line";

    // The daemon's side of each client has keepalive running with no acknowledgement awaited: the timer
    // goes off within the idle time, not the system's two hours.
    long kept_alive = 0;
    EXPECT_TRUE(eventually([&] {
        const std::vector<tcp_socket_row> rows = tcp_sockets();
        kept_alive = std::count_if(rows.begin(), rows.end(), [](const tcp_socket_row &r) {
            return r.local_port == tcp_port && r.state == 1 && r.timer == 2 && r.timer_ms <= 30 * 1000;
        });
        return kept_alive == client_slots;
    })) << kept_alive;

    // On request each has its line, though a hundred outgrow the message queue: none is lost.
    const std::vector<std::string> said = said_on_request(*d, client_slots);
    EXPECT_EQ(std::count_if(said.begin(), said.end(), [](const std::string &line) { return line.rfind("client: ", 0) == 0; }),
              client_slots)
        << said.size() << " lines";
    EXPECT_EQ(stderr_of(*d).find("Messages lost"), std::string::npos);

    // Each client gets every line relayed from now on, in order.
    for (int n = 1; n <= 3; n++)
        send_udp(numbered(n, n));
    for (size_t i = 0; i < clients.size(); i++)
        ASSERT_TRUE(read_until(clients[i].fd, &streams[i], numbered(3, 3))) << i;
    int fds_full, threads_full;
    steady_counts(d->pid, &fds_full, &threads_full);

    // No slot for the 101st: it is closed at once, and nothing of it stays.
    EXPECT_TRUE(refused_at_once(connect_tcp()));
    EXPECT_TRUE(counts_settle(d->pid, fds_full, threads_full, clients.back().fd));

    // One in the middle leaves while lines keep coming: its pipe, socket and thread go (the first send
    // after it left may still succeed; a later one fails).
    leave(clients[50].fd);
    for (int n = 4; n <= 10; n++)
        ASSERT_TRUE(relay_to(clients.back().fd, &streams.back(), numbered(n, n))) << n;
    ASSERT_TRUE(running(*d)) << "the daemon ended when a client left";
    EXPECT_TRUE(counts_settle(d->pid, fds_full - 3, threads_full - 1, clients.back().fd));

    // A newcomer takes the slot, and gets nothing relayed before it joined.
    std::string late_stream;
    int late = client(&late_stream);
    ASSERT_GE(late, 0);
    ASSERT_TRUE(relay_to(late, &late_stream, numbered(11, 11)));
    EXPECT_TRUE(is_join_line(late_stream)) << late_stream.substr(0, 80);
    EXPECT_EQ(relayed_lines(late_stream), numbered(11, 11));
    for (size_t i = 0; i < clients.size(); i++)
        if (i != 50) {
            EXPECT_TRUE(read_until(clients[i].fd, &streams[i], numbered(11, 11))) << i;
            EXPECT_EQ(relayed_lines(streams[i]), numbered(1, 11)) << i;
        }
}

// Relays a 400-byte line ten times a second while it lives, counting them in *sent.
struct steady_feed {
    long *sent;
    std::atomic<bool> stopping{false};
    std::thread sender{[this] {
        for (; !stopping; ++*sent, usleep(100 * 1000))
            send_udp("$GPTXT,feed," + std::to_string(*sent) + "," + std::string(380, 'f') + "*00\r\n");
    }};
    ~steady_feed()
    {
        stopping = true;
        sender.join();
    }
};

// The counters line (SIGUSR1) tells it all, and waits without holding up the relay while stderr is full.
TEST_F(TcpClients, ClientsThatTakeNothingAreCutAfterAMinuteButASlowReaderIsKeptAndTheCountersSaySo)
{
    // Small buffers on both sides, so that text soon waits for a client that does not read.
    ASSERT_TRUE(write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    ASSERT_EQ(mkdir("/tmp/nmea.status", 0755), 0); // the status report cannot be published
    // Standard error is a FIFO that the test reads when it chooses, so that it can also leave it full.
    ASSERT_EQ(mkfifo("/tmp/stderr", 0600), 0);
    int said_fd = own(open("/tmp/stderr", O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GE(said_fd, 0);
    std::string said, line;
    size_t read_to = 0; // where the next counters line is looked for
    // Takes what was said, waiting 0.1 s for more; true once the next counters line is whole, in `line`.
    auto next_line = [&] {
        pollfd watch = {said_fd, POLLIN, 0};
        char buffer[4096];
        for (ssize_t got; poll(&watch, 1, 100) > 0 && (got = read(said_fd, buffer, sizeof buffer)) > 0;)
            said.append(buffer, static_cast<size_t>(got));
        size_t start = said.find("counters: ", read_to);
        size_t stop = start == std::string::npos ? start : said.find('\n', start);
        if (stop == std::string::npos)
            return false;
        read_to = stop + 1;
        line = said.substr(start, read_to - start);
        return true;
    };
    auto ask = [&] {
        kill(d->pid, SIGUSR1);
        return eventually(next_line);
    };
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    daemon_options to_fifo = quiet;
    to_fifo.run_through = {"sh", "-c", "exec \"$0\" \"$@\" 2>/tmp/stderr"};
    start({"-s"}, to_fifo);
    long long begun = now_ms();

    // The slow reader and the silent clients take every slot, seen registered in the counters rather than
    // by join lines, so that every text relayed is one the test counts.
    int slow = own(connect_when_listening(tcp_port, 4096));
    ASSERT_GE(slow, 0);
    for (int i = 1; i < client_slots; i++)
        ASSERT_GE(own(connect_tcp(tcp_port, 4096)), 0) << i;
    long long held_since = now_ms();
    ASSERT_TRUE(eventually([&] {
        return ask() && value_of(line, "clients") == std::to_string(client_slots) && value_of(line, "device") == "open";
    })) << line;

    // Texts from both inputs, which the slow reader takes as they come; the silent clients miss texts
    // once their backlogs are full, as the steady feed below soon makes them.
    std::string received;
    long udp_texts = 0;
    for (const std::string text : {"$GPTXT,from the receiver,1*00\n", "$GPTXT,from the receiver,2*00\n"}) {
        ASSERT_TRUE(emit(gps, as_sent(text)));
        ASSERT_TRUE(read_until(slow, &received, text));
    }
    for (const std::string &text : {example_gga, example_rmc, example_rmc}) {
        send_udp(as_sent(text));
        udp_texts++;
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
        ASSERT_TRUE(read_until(slow, &received, text, 1000)) << "text " << n << " took over a second";
        usleep(static_cast<useconds_t>(std::max(0LL, 200 - (now_ms() - sent)) * 1000));
    }
    // Taken when asked for, before the texts that followed.
    ASSERT_TRUE(eventually(next_line));
    EXPECT_GE(std::stol(value_of(line, "udp_in")), udp_texts - 10) << line;
    EXPECT_LT(std::stol(value_of(line, "udp_in")), udp_texts) << line;
    int fds_full, threads_full;
    steady_counts(d->pid, &fds_full, &threads_full);

    int newcomer = -1, refused = 1;
    long fed = 0;
    long long served_after = -1, slow_cut_after = -1;
    size_t slow_took = 0;
    {
        steady_feed feed{&fed};
        // Every slot is held: a newcomer is closed at once.
        ASSERT_TRUE(refused_at_once(connect_tcp()));

        // Each second the slow client takes a kilobyte and a newcomer tries its luck, until one is served.
        eventually(
            [&] {
                long long round_end = now_ms() + 1000;
                char buffer[1024];
                ssize_t got = recv(slow, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got == 0 || (got < 0 && errno != EAGAIN)) {
                    slow_cut_after = now_ms() - held_since;
                    return true;
                }
                slow_took += got > 0 ? static_cast<size_t>(got) : 0;
                int candidate = own(connect_tcp());
                std::string candidate_got;
                if (read_until(candidate, &candidate_got, "\n", 1000)) {
                    newcomer = candidate;
                    served_after = now_ms() - held_since;
                    return true;
                }
                leave(candidate);
                refused++;
                usleep(static_cast<useconds_t>(std::max(0LL, round_end - now_ms()) * 1000));
                return false;
            },
            120 * 1000);
        ASSERT_EQ(slow_cut_after, -1) << "the slow reader was cut after " << slow_cut_after / 1000 << " s";
        ASSERT_GE(newcomer, 0) << "no newcomer was served within two minutes";
        std::cout << "[ measured ] a newcomer was served " << served_after / 1000.0 << " s after every slot was held; "
                  << "the slow reader took " << slow_took << " bytes meanwhile\n";
        EXPECT_GE(served_after, 50 * 1000) << "clients were cut before their minute was up";
    }
    udp_texts += fed;

    // Once every silent client is cut, the counters tell all of it. The
    // record is published at each RMC; the status cannot be.
    ASSERT_TRUE(eventually(
        [&] {
            usleep(500 * 1000);
            return ask() && value_of(line, "clients_cut") == std::to_string(client_slots - 1);
        },
        30 * 1000))
        << line;
    long long up_s = (now_ms() - begun) / 1000;
    std::string drops = value_of(line, "drop_clients"), up = value_of(line, "up_s");
    std::string refusals = value_of(line, "clients_refused");
    EXPECT_EQ(line, "counters: up_s=" + up + " udp_in=" + std::to_string(udp_texts) +
                        " serial_in=2 bcast_failed=0 clients=2 clients_max=100 clients_refused=" + refusals +
                        " clients_cut=99 drop_clients=" + drops + " drop_device=0 drop_progress=0 device=closed"
                        " device_name=/dev/GPS device_opened=1 device_lost=1 reports=2 reports_failed=2"
                        " drop_fragments=0 client_bytes_discarded=0 clock_samples=0 clock_missed=0 clock_refused=0"
                        " filtered_udp=0 filtered_tcp=0 filtered_serial=0 filtered_reports=0\n");
    // A candidate not served in its second may have been taken after all.
    EXPECT_GE(std::stol(refusals), 1);
    EXPECT_LE(std::stol(refusals), refused);
    EXPECT_GT(std::stol(drops), 0) << "the silent clients never missed a text";
    EXPECT_LE(std::stol(drops), (udp_texts + 2) * (client_slots - 1)); // each text to each silent client at most
    EXPECT_GE(std::stol(up), up_s - 1);
    EXPECT_LE(std::stol(up), up_s + 1);

    // The slow reader is still served: once it catches up, lines relayed now
    // reach it. The silent ones are gone from the daemon.
    EXPECT_TRUE(join(slow, &received));
    EXPECT_TRUE(counts_settle(d->pid, fds_full - (client_slots - 2) * 3, threads_full - (client_slots - 2), newcomer));
}

} // namespace
