// The daemon under load and faults: it stays up, loses nothing it is meant
// to deliver, and leaks nothing. GPSFANOUT_SOAK_SCALE (default 1) stretches
// the durations and counts for long runs (tools/run-soak).
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "load_helpers.h"
#include "sandbox.h"

namespace {

long soak_scale()
{
    const char *scale = getenv("GPSFANOUT_SOAK_SCALE");
    long value = scale ? atol(scale) : 1;
    return value > 0 ? value : 1;
}

bool alive(pid_t pid)
{
    int status;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// Sends datagrams to 127.0.0.1:port from one socket.
struct udp_sender {
    int fd;
    sockaddr_in to;
    explicit udp_sender(int port)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        memset(&to, 0, sizeof to);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~udp_sender() { close(fd); }
    void send(const std::string &data)
    {
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
};

// Sends numbered lines [from, to) at `rate` lines per second.
void send_numbered(long from, long to, int rate, const std::string &padding = "")
{
    udp_sender sender(10101);
    long long start = now_ms();
    for (long n = from; n < to; n++) {
        long long due = start + (n - from) * 1000 / rate;
        while (now_ms() < due)
            usleep(200);
        std::string line = numbered_line(n);
        if (!padding.empty())
            line.insert(line.size() - 7, padding); // before ",load*00\r\n"'s checksum part
        sender.send(line);
    }
}

// Sends numbered lines until every open client has one: then all are
// registered. Returns the next number to use.
long warm_up(client_pool *pool)
{
    long n = 0;
    for (long long deadline = now_ms() + patience_ms; now_ms() < deadline; n++) {
        send_udp(10101, numbered_line(n));
        usleep(20 * 1000);
        std::lock_guard<std::mutex> hold(pool->lock);
        bool all = true;
        for (auto &c : pool->clients)
            all = all && (c.closed || c.count > 0);
        if (all)
            return n + 1;
    }
    return -1;
}

// Every line a client received since its first is there, in order, whole.
// Other lines are allowed only when they are whole lines with `other_prefix`.
void expect_unbroken(client_pool *pool, long last_sent, bool must_reach_end, const std::string &other_prefix = "")
{
    std::lock_guard<std::mutex> hold(pool->lock);
    long dropped_at_input = udp_receive_buffer_errors();
    for (size_t i = 0; i < pool->clients.size(); i++) {
        const line_record &c = pool->clients[i];
        EXPECT_EQ(c.out_of_order, 0) << "client " << i << "; datagrams dropped at the input: " << dropped_at_input;
        if (other_prefix.empty()) {
            EXPECT_EQ(c.foreign, 0) << "client " << i << ": " << (c.foreign ? c.foreign_lines[0] : "");
        }
        for (auto &line : c.foreign_lines)
            EXPECT_EQ(line.compare(0, other_prefix.size(), other_prefix), 0) << "client " << i << ": " << line;
        if (c.count > 0) {
            EXPECT_EQ(c.count, c.last - c.first + 1) << "client " << i;
        }
        if (must_reach_end) {
            EXPECT_EQ(c.last, last_sent) << "client " << i;
        }
    }
}

TEST(FaultLoad, UdpFloodKeepsTheDaemonUpWithFlatMemory)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 10, 11102));
    ASSERT_GT(warm_up(&pool), 0);

    udp_sender sender(10101);
    const long long seconds = 10 * soak_scale();
    long long start = now_ms(), sampled = 0;
    long rss_early = -1;
    long sent = 0;
    for (long n = 0; now_ms() - start < seconds * 1000; n++) {
        sender.send(numbered_line(1000 + n));
        sent++;
        if (rss_early < 0 && now_ms() - start > 1000) {
            rss_early = memory_kb(d->pid, "VmRSS");
            sampled = sent;
        }
    }
    long rss_late = memory_kb(d->pid, "VmRSS");
    ASSERT_TRUE(alive(d->pid));
    ASSERT_GT(rss_early, 0);
    EXPECT_LE(rss_late, rss_early + 1024) << "kB after " << sampled << " and " << sent << " datagrams";
    RecordProperty("datagrams_sent", std::to_string(sent));

    // Afterwards a line is relayed as usual.
    int fresh = connect_tcp(11102);
    std::string received;
    EXPECT_TRUE(sync_client(fresh, 10101, &received));
    close(fresh);
    EXPECT_TRUE(alive(d->pid));
    stop_pool(&pool);
    // Flooded clients may miss lines when their pipe is full, but never get a torn one.
    for (auto &c : pool.clients)
        EXPECT_EQ(c.foreign, 0);
}

TEST(FaultLoad, ClientsComingAndGoingMissNothingWhileConnected)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({}, true);
    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 5, 11102)); // clients 0-4 stay throughout
    long first = warm_up(&pool);
    ASSERT_GT(first, 0);

    const long lines = 5000 * soak_scale();
    std::thread sender(send_numbered, first, first + lines, 1000, "");
    std::mt19937 random(12345);
    std::vector<int> comers;
    long long end = now_ms() + lines; // 1000 lines a second
    while (now_ms() < end) {
        if (comers.size() < 20 && random() % 2 == 0) {
            int index = add_client(&pool, 11102);
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
    ASSERT_TRUE(wait_all_reached(&pool, first + lines - 1, patience_ms));
    stop_pool(&pool);
    expect_unbroken(&pool, first + lines - 1, false);
    for (int stayer = 0; stayer < 5; stayer++) {
        EXPECT_EQ(pool.clients[static_cast<size_t>(stayer)].last, first + lines - 1);
        EXPECT_LE(pool.clients[static_cast<size_t>(stayer)].first, first);
    }
    EXPECT_GT(pool.clients.size(), 30u); // the churn really happened
    EXPECT_TRUE(alive(d->pid));
}

TEST(FaultLoad, OneClientThatNeverReadsCostsTheOthersNothing)
{
    REQUIRE_SANDBOX();
    // Small socket buffers, so the stalled client's pipe fills soon.
    FILE *wmem = fopen("/proc/sys/net/ipv4/tcp_wmem", "w");
    ASSERT_NE(wmem, nullptr);
    fputs("4096 4096 4096", wmem);
    fclose(wmem);
    auto d = start_daemon({}, true);
    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 99, 11102));
    long first = warm_up(&pool);
    ASSERT_GT(first, 0);
    // Connected once the warm-up has cleared the pool's probe connection
    // away, so it takes the hundredth slot.
    int stalled = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(11102);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    std::string synced;
    ASSERT_TRUE(sync_client(stalled, 10101, &synced));
    ASSERT_TRUE(wait_all_reached(&pool, first - 1, patience_ms));

    const long lines = 3000 * soak_scale();
    // 200-byte lines: far more than the stalled client's pipe and socket hold.
    const std::string padding(200, 'x');
    send_numbered(first, first + lines, 1000, padding);
    EXPECT_TRUE(wait_all_reached(&pool, first + lines - 1, patience_ms));
    stop_pool(&pool);
    expect_unbroken(&pool, first + lines - 1, true);

    // The stalled client got what fitted: whole lines only, and not all.
    line_record late;
    char buffer[65536];
    ssize_t got;
    fcntl(stalled, F_SETFL, O_NONBLOCK);
    for (long long deadline = now_ms() + 2000; now_ms() < deadline;) {
        pollfd watch = {stalled, POLLIN, 0};
        if (poll(&watch, 1, 300) <= 0)
            break;
        if ((got = recv(stalled, buffer, sizeof buffer, 0)) <= 0)
            break;
        late.partial.append(buffer, static_cast<size_t>(got));
    }
    size_t whole = 0;
    for (size_t at = 0, end; (end = late.partial.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = late.partial.substr(at, end - at);
        if (line.compare(0, 12, "$GPTXT,sync,") == 0)
            continue;
        // Whole: exactly a warm-up line or a padded line, as sent.
        long number = atol(line.c_str() + 11);
        std::string plain = numbered_line(number);
        plain.resize(plain.size() - 2); // relayed without the CR LF
        std::string padded = plain;
        padded.insert(padded.size() - 5, padding);
        EXPECT_TRUE(line == plain || line == padded) << line.substr(0, 40) << "... (" << line.size() << " bytes)";
        whole++;
    }
    EXPECT_GT(whole, 0u);
    EXPECT_LT(whole, static_cast<size_t>(lines));
    RecordProperty("stalled_client_lines", std::to_string(whole));
    close(stalled);
    EXPECT_TRUE(alive(d->pid));
}

TEST(FaultLoad, TheReceiverVanishingDuringPacedWritesHurtsNoOne)
{
    REQUIRE_SANDBOX();
    fake_receiver gps;
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    auto d = start_daemon({"-s", "-w"});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = "));
    ASSERT_TRUE(wait_listening(11102));
    std::string out = stdout_of(*d);
    int fd = atoi(out.c_str() + out.find("ttyfd = ") + 8);
    ASSERT_GT(fd, 0);

    // Drain the receiver's side so paced writes keep flowing until it goes.
    std::atomic<bool> draining{true};
    std::atomic<long> drained{0};
    int master = gps.master;
    joined_thread drain([&] {
        char buffer[4096];
        // Bounded, so a failed assertion cannot leave the join waiting.
        for (long long deadline = now_ms() + patience_ms; draining && now_ms() < deadline;) {
            pollfd watch = {master, POLLIN, 0};
            if (poll(&watch, 1, 50) > 0) {
                ssize_t got = read(master, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                drained += got;
            }
        }
    });
    std::vector<int> writers;
    for (int i = 0; i < 3; i++) {
        int w = connect_tcp(11102);
        ASSERT_GE(w, 0);
        std::string chunk(4000, static_cast<char>('X' + i));
        ASSERT_EQ(send(w, chunk.data(), chunk.size(), 0), static_cast<ssize_t>(chunk.size()));
        writers.push_back(w);
    }
    // Relayed lines that wait for the serial lock may reach the new clients
    // later; they must arrive whole.
    const std::string relay_write = "$GPGGA,relay write ";
    for (int i = 0; i < 5; i++)
        send_udp(10101, relay_write + std::to_string(i) + "\r");
    for (long long deadline = now_ms() + patience_ms; drained < 200 && now_ms() < deadline;)
        usleep(10 * 1000);
    ASSERT_GE(drained.load(), 200); // writes are under way
    draining = false;
    drain.join();
    unplug_receiver(&gps);
    ASSERT_TRUE(wait_stdout(*d, "Closing ttyfd " + std::to_string(fd) + "\n"));

    // New connections take the freed descriptor numbers: none of the writers'
    // bytes may reach them.
    client_pool pool;
    ASSERT_TRUE(start_pool(&pool, 5, 11102));
    long first = warm_up(&pool);
    ASSERT_GT(first, 0);
    // Gently: every line is also echoed to the test's pty.
    send_numbered(first, first + 200, 200);
    ASSERT_TRUE(wait_all_reached(&pool, first + 199, patience_ms));

    // Plugged back in, the receiver is found and relayed again.
    size_t mark = stdout_of(*d).size();
    ASSERT_TRUE(plug_receiver("/dev/GPS", &gps));
    ASSERT_TRUE(wait_stdout(*d, "Opened ttyfd = ", patience_ms, mark));
    const std::string back = "$GPTXT,seq," + std::to_string(first + 200) + ",load*00\r\n";
    ASSERT_EQ(write(gps.master, back.data(), back.size()), static_cast<ssize_t>(back.size()));
    EXPECT_TRUE(wait_all_reached(&pool, first + 200, patience_ms));
    stop_pool(&pool);
    expect_unbroken(&pool, first + 200, true, relay_write);
    for (int w : writers)
        close(w);
    EXPECT_TRUE(alive(d->pid));
}

TEST(FaultLoad, HostileDatagramsAreSurvived)
{
    REQUIRE_SANDBOX();
    auto d = start_daemon({});
    ASSERT_TRUE(wait_stdout(*d, "ttyfd = -1\n"));
    udp_sender sender(10101);
    std::mt19937 random(777);
    for (int i = 0; i < 2000; i++) {
        std::string junk(random() % 9000, '\0');
        for (auto &byte : junk)
            byte = static_cast<char>(random());
        sender.send(junk);
    }
    sender.send(std::string(4000, '\0') + "\r\n");
    sender.send(std::string(8191, static_cast<char>(0xff)) + "\r\n");
    for (int i = 0; i < 4; i++)
        sender.send(std::string(8192, 'A')); // no line ends at all
    const long fragments = 1000000 * soak_scale();
    for (long i = 0; i < fragments; i++)
        sender.send("ab");
    ASSERT_TRUE(alive(d->pid));
    int client = connect_when_listening(11102);
    std::string received;
    EXPECT_TRUE(sync_client(client, 10101, &received, 60000));
    close(client);
    EXPECT_TRUE(alive(d->pid));
}

} // namespace
