// SPDX-License-Identifier: BSD-2-Clause
// TCP clients of the real daemon: every client gets every line relayed after
// it joined, in order and whole, whatever the other clients do; clients that
// connect all at once are all served, and those that take nothing give their
// slots up after a minute.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using TcpClients = DaemonTest;

// The daemon serves this many clients at once.
constexpr int client_slots = 100;

// The numbered lines of a stream: the join and settle lines left out.
std::vector<std::string> relayed_lines(const std::string &stream)
{
    std::vector<std::string> kept;
    for (auto &line : lines_of(stream))
        if (line.compare(0, 7, "$GPTXT,") != 0)
            kept.push_back(line);
    return kept;
}

// A GGA text as relayed, told apart by its number; and those numbered first to last.
std::string numbered(int n)
{
    return "$GPGGA,12351" + std::to_string(n % 10) + ",4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M," +
           std::to_string(n) + ",*47\n";
}
// A connection the daemon has no slot for: closed at once, with nothing sent.
testing::AssertionResult refused_at_once(int fd)
{
    std::string got;
    if (closed_by_daemon(fd, &got) && got.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "not closed at once; got \"" << got.substr(0, 80) << "\"";
}

std::vector<std::string> numbered(int first, int last)
{
    std::vector<std::string> lines;
    for (int n = first; n <= last; n++)
        lines.push_back(numbered(n));
    return lines;
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

            // The stalled client reads nothing from here on. The texts go in
            // rounds, each once the last has reached every other client, so a
            // relay held up by the stalled one would show at once. Each round
            // opens with a text over the pipe's atomic write size; the others
            // are padded, far more in all than a stalled client's pipe and
            // socket hold.
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
            leave(stalled);
        }();
}

TEST_F(TcpClients, AHundredSilentClientsConnectingAtOnceAreAllServedAndOneLeavingOrOneTooManyDisturbsNone)
{
    start({}, quiet);
    ASSERT_TRUE(listening_on(tcp_port));
    // All of them connect while the daemon cannot accept, as after a restart
    // of an access point; none of them ever sends a byte.
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
    long long next_line = 0;
    for (auto &c : clients)
        c.events = POLLIN;
    eventually([&] {
        if (now_ms() >= next_line) {
            send_udp("$GPTXT,burst*00\r\n");
            next_line = now_ms() + 200;
        }
        if (poll(clients.data(), clients.size(), 50) <= 0)
            return false;
        served = 0;
        for (size_t i = 0; i < clients.size(); i++) {
            char buffer[4096];
            ssize_t got = clients[i].revents ? recv(clients[i].fd, buffer, sizeof buffer, 0) : 0;
            if (got > 0)
                streams[i].append(buffer, static_cast<size_t>(got));
            served += streams[i].find("$GPTXT,burst*00\n") != std::string::npos;
        }
        return served == client_slots;
    });
    EXPECT_EQ(served, client_slots) << "clients that never got a line";

    // Each connection the daemon took (its side of each client) has
    // keepalive running, and none waits for an acknowledgement any more: the
    // timer goes off within the idle time, not the system's two hours.
    long kept_alive = 0;
    EXPECT_TRUE(eventually([&] {
        const std::vector<tcp_socket_row> rows = tcp_sockets();
        kept_alive = std::count_if(rows.begin(), rows.end(), [](const tcp_socket_row &r) {
            return r.local_port == tcp_port && r.state == 1 && r.timer == 2 && r.timer_ms <= 30 * 1000;
        });
        return kept_alive == client_slots;
    })) << kept_alive;

    // Each client gets every line relayed from now on, in order.
    for (int n = 1; n <= 3; n++)
        send_udp(numbered(n));
    for (size_t i = 0; i < clients.size(); i++)
        ASSERT_TRUE(read_until(clients[i].fd, &streams[i], numbered(3))) << i;
    int fds_full, threads_full;
    steady_counts(d->pid, &fds_full, &threads_full);

    // No slot for the 101st: it is closed at once, and nothing of it stays.
    int extra = own(connect_tcp());
    EXPECT_TRUE(refused_at_once(extra));
    leave(extra);
    EXPECT_TRUE(counts_settle(d->pid, fds_full, threads_full, clients.back().fd));

    // One in the middle leaves while lines keep coming: its pipe, socket and
    // thread go. The first send to it after it has gone may still succeed; a
    // later one fails.
    leave(clients[50].fd);
    for (int n = 4; n <= 10; n++)
        ASSERT_TRUE(relay_to(clients.back().fd, &streams.back(), numbered(n))) << n;
    ASSERT_TRUE(running(*d)) << "the daemon ended when a client left";
    EXPECT_TRUE(counts_settle(d->pid, fds_full - 3, threads_full - 1, clients.back().fd));

    // A newcomer takes the slot, and gets nothing relayed before it joined.
    std::string late_stream;
    int late = client(&late_stream);
    ASSERT_GE(late, 0);
    ASSERT_TRUE(relay_to(late, &late_stream, numbered(11)));
    EXPECT_TRUE(is_join_line(late_stream)) << late_stream.substr(0, 80);
    EXPECT_EQ(relayed_lines(late_stream), numbered(11, 11));
    for (size_t i = 0; i < clients.size(); i++)
        if (i != 50) {
            EXPECT_TRUE(read_until(clients[i].fd, &streams[i], numbered(11))) << i;
            EXPECT_EQ(relayed_lines(streams[i]), numbered(1, 11)) << i;
        }
}

// Relays a 400-byte line ten times a second while it lives.
struct steady_feed {
    std::atomic<bool> stopping{false};
    std::thread sender{[this] {
        for (int n = 0; !stopping; n++, usleep(100 * 1000))
            send_udp("$GPTXT,feed," + std::to_string(n) + "," + std::string(380, 'f') + "*00\r\n");
    }};
    ~steady_feed()
    {
        stopping = true;
        sender.join();
    }
};

TEST_F(TcpClients, ClientsThatTakeNothingAreClosedAfterAMinuteButASlowReaderIsKept)
{
    // Small buffers on both sides, so that text soon waits for a client that
    // does not read.
    ASSERT_TRUE(write_file("/proc/sys/net/ipv4/tcp_wmem", "4096 4096 4096"));
    start({}, quiet);
    ASSERT_TRUE(listening_on(tcp_port));
    int fds_idle, threads_idle;
    steady_counts(d->pid, &fds_idle, &threads_idle);

    std::string slow_stream;
    int slow = client(&slow_stream, 4096);
    ASSERT_GE(slow, 0);
    for (int i = 1; i < client_slots; i++)
        ASSERT_GE(own(connect_tcp(tcp_port, 4096)), 0) << i;
    int newcomer = -1;
    long long served_after = -1, slow_cut_after = -1, held_since = now_ms();
    size_t slow_took = 0;
    {
        steady_feed feed;
        // Every slot is held: a newcomer is closed at once.
        int refused = own(connect_tcp());
        ASSERT_TRUE(refused_at_once(refused));
        leave(refused);

        // Each second the slow client takes a kilobyte and a newcomer tries its
        // luck, until one is served.
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
    // The slow reader is still served: once it catches up, lines relayed now
    // reach it. The silent ones are gone from the daemon.
    EXPECT_TRUE(join(slow, &slow_stream));
    EXPECT_TRUE(counts_settle(d->pid, fds_idle + 2 * 3, threads_idle + 2, newcomer));
}

} // namespace
