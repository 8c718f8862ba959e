// SPDX-License-Identifier: BSD-2-Clause
// The daemon under load and faults: it stays up, loses nothing it is meant to deliver, and leaks nothing.
// GPSFANOUT_SOAK_SCALE (default 1) stretches the durations and counts for long runs (tools/run-soak).
#include <algorithm>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"

namespace {

using FaultLoad = DaemonTest;

// Sends numbered lines [from, to) at `rate` lines per second.
void send_numbered(long from, long to, int rate)
{
    udp_sender sender;
    long long start = now_ms();
    for (long n = from; n < to; n++) {
        long long due = start + (n - from) * 1000 / rate;
        while (now_ms() < due)
            usleep(200);
        sender.send(numbered_line(n));
    }
}

TEST_F(FaultLoad, AUdpFloodLeavesMemoryFlatAndClientsComingAndGoingMissNothingWhileConnected)
{
    start({}, quiet);
    client_pool flooded;
    ASSERT_TRUE(start_pool(&flooded, 10));
    udp_sender flood;
    const long long begun = now_ms(), flood_end = begun + 10000 * soak_scale();
    long rss_early = -1, sent = 0, sampled = 0;
    for (; now_ms() < flood_end; sent++) {
        flood.send(numbered_line(1000 + sent));
        if (rss_early < 0 && now_ms() - begun > 1000) {
            rss_early = status_value(d->pid, "VmRSS:");
            sampled = sent;
        }
    }
    long rss_late = status_value(d->pid, "VmRSS:");
    ASSERT_TRUE(running(*d));
    ASSERT_GT(rss_early, 0);
    EXPECT_LE(rss_late, rss_early + 1024) << "kB after " << sampled << " and " << sent << " datagrams";
    RecordProperty("datagrams_sent", std::to_string(sent));
    // Afterwards a line is relayed as usual, and no flooded line is left to reach the clients that follow.
    EXPECT_GE(client(), 0);
    stop_pool(&flooded);
    // Flooded clients may miss lines when their pipe is full, but never get a torn one.
    for (auto &c : flooded.clients)
        EXPECT_EQ(c.foreign, 0);

    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 5)); // clients 0-4 stay throughout
    const long lines = 5000 * soak_scale();
    std::thread sender(send_numbered, 0, lines, 1000);
    std::mt19937 random(12345);
    std::vector<int> comers;
    long long end = now_ms() + lines; // 1000 lines a second
    while (now_ms() < end) {
        if (comers.size() < 20 && random() % 2 == 0) {
            int index = add_client(&pool);
            ASSERT_GE(index, 0);
            comers.push_back(index);
        } else if (!comers.empty()) {
            size_t pick = random() % comers.size();
            close_client(&pool, comers[pick]);
            comers.erase(comers.begin() + static_cast<long>(pick));
        }
        usleep(static_cast<useconds_t>(5000 + random() % 50000));
    }
    sender.join();
    ASSERT_TRUE(all_reached(&pool, lines - 1));
    stop_pool(&pool);
    expect_unbroken(&pool, lines - 1, false);
    for (size_t stayer = 0; stayer < 5; stayer++)
        EXPECT_TRUE(pool.clients[stayer].first == 0 && pool.clients[stayer].last == lines - 1) << stayer;
    EXPECT_GT(pool.clients.size(), 30u); // the churn really happened
    EXPECT_TRUE(running(*d));
}

TEST_F(FaultLoad, TheReceiverVanishingDuringPacedWritesHurtsNoOne)
{
    int fd = started_with_receiver({"-s", "-w"});
    ASSERT_GT(fd, 0);
    ASSERT_TRUE(listening_on(tcp_port));

    // Drained, so that paced writes keep flowing until it goes.
    receiver_watch drain(gps);
    for (int i = 0; i < 3; i++) {
        const std::string chunk(4000, static_cast<char>('X' + i));
        EXPECT_EQ(send(own(connect_tcp()), chunk.data(), chunk.size(), 0), static_cast<ssize_t>(chunk.size()));
    }
    // Relayed lines that wait for the serial lock may reach the new clients later; they must arrive whole.
    const std::string relay_write = "$GPGGA,relay write ";
    for (int i = 0; i < 5; i++)
        send_udp(relay_write + std::to_string(i) + "\r");
    EXPECT_TRUE(eventually([&] { return drain.seen().size() >= 200; })); // writes are under way
    drain.stop();
    unplug_receiver(&gps);
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd " + std::to_string(fd) + "\n"));

    // New connections take the freed descriptor numbers: none of the writers' bytes may reach them.
    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 5));
    // Gently: every line is also echoed to the test's pty.
    send_numbered(0, 200, 200);
    ASSERT_TRUE(all_reached(&pool, 199));

    // Plugged back in, the receiver is found and relayed again.
    size_t mark = stdout_of(*d).size();
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_GT(reported_fd(*d, "Opened ttyfd = ", mark), 0);
    ASSERT_TRUE(emit(gps, numbered_line(200)));
    EXPECT_TRUE(all_reached(&pool, 200));
    stop_pool(&pool);
    expect_unbroken(&pool, 200, true, relay_write);
    EXPECT_TRUE(running(*d));
}

TEST_F(FaultLoad, HostileDatagramsAreSurvived)
{
    ASSERT_EQ(started(), -1);
    udp_sender sender;
    std::mt19937 random(777);
    for (int i = 0; i < 2000; i++) {
        std::string junk(random() % 9000, '\0');
        std::generate(junk.begin(), junk.end(), [&] { return static_cast<char>(random()); });
        sender.send(junk);
    }
    sender.send(std::string(4000, '\0') + "\r\n");
    sender.send(std::string(8191, static_cast<char>(0xff)) + "\r\n");
    for (int i = 0; i < 4; i++)
        sender.send(std::string(8192, 'A')); // no line ends at all
    const long fragments = 1000000 * soak_scale();
    for (long i = 0; i < fragments; i++)
        sender.send("ab");
    ASSERT_TRUE(running(*d));
    EXPECT_GE(client(nullptr, 0, 60000), 0);
    EXPECT_TRUE(running(*d));
}

} // namespace
